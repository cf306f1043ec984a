#include "ImageLibrary.h"

#include "ImageLibraryAbi.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <new>

#ifndef GW_IMAGELIB_BUILD_PATH
#define GW_IMAGELIB_BUILD_PATH ""
#endif

namespace ci::io::imagelib {

namespace {

constexpr const char* moduleName = "libgw_ci_imagelib.so";

struct Loaded {
    const GwImageLib* table = nullptr;
    std::string error;
};

std::string directoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

/// Where the module may be: beside the program or library that holds this code, then where the
/// build put it.
std::vector<std::string> candidates() {
    std::vector<std::string> paths;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&load), &info) && info.dli_fname && info.dli_fname[0] == '/')
        paths.push_back(directoryOf(info.dli_fname) + moduleName);
    char exe[PATH_MAX];
    if (const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1); n > 0) {
        exe[n] = '\0';
        paths.push_back(directoryOf(exe) + moduleName);
    }
    if (std::strlen(GW_IMAGELIB_BUILD_PATH) > 0)
        paths.emplace_back(GW_IMAGELIB_BUILD_PATH);
    return paths;
}

/// The module's table from `path` (a file name alone lets the loader search), or null with the
/// reason in `error`.
const GwImageLib* tryOpen(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = ::dlerror();
        return nullptr;
    }
    auto entry = reinterpret_cast<GwImageLibEntry>(::dlsym(handle, GW_IMAGELIB_ENTRY));
    const GwImageLib* table = entry ? entry() : nullptr;
    if (!table || table->version != GW_IMAGELIB_VERSION) {
        error = path + " is not the module of this version";
        return nullptr;
    }
    return table; // the module stays loaded for the life of the process
}

Loaded open() {
    Loaded loaded;
    std::string firstError;
    for (const std::string& path : candidates()) {
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        std::string error;
        if ((loaded.table = tryOpen(path, error)))
            return loaded;
        if (firstError.empty())
            firstError = error;
    }
    if (firstError.empty()) {
        // Nowhere it was looked for: the loader's own search (and its message) has the last word.
        if ((loaded.table = tryOpen(moduleName, firstError)))
            return loaded;
    }
    loaded.error = "The image library could not be loaded: " + firstError;
    return loaded;
}

const Loaded& loaded() {
    // Opened once, by whichever thread asks first; never destroyed, since a worker may still be
    // decoding while the process exits.
    static const Loaded* const result = new Loaded(open());
    return *result;
}

void appendText(void* context, const char* text) {
    auto* s = static_cast<std::string*>(context);
    if (!s->empty() && text[0])
        s->push_back('\n');
    s->append(text);
}

/// Turns the module's status into the engine's: out of memory is thrown, as in the engine's own
/// code, and caught where a decode or encode turns it into a message.
bool checked(int status) {
    if (status == GW_IMG_NO_MEMORY)
        throw std::bad_alloc();
    return status == GW_IMG_OK;
}

} // namespace

std::string load() {
    return loaded().error;
}

Result<std::vector<uint8_t>> write(const std::string& format, int width, int height, int channels, int bits,
                                   const std::vector<std::pair<std::string, std::string>>& attributes,
                                   int band, const std::function<const void*(int, int)>& rows) {
    using Bytes = std::vector<uint8_t>;
    const Loaded& lib = loaded();
    if (!lib.table)
        return Result<Bytes>::failure(lib.error);
    std::vector<const char*> attrs;
    for (const auto& [key, value] : attributes) {
        attrs.push_back(key.c_str());
        attrs.push_back(value.c_str());
    }
    attrs.push_back(nullptr);
    attrs.push_back(nullptr);

    struct Context {
        const std::function<const void*(int, int)>* rows;
        Bytes bytes;
    } ctx{&rows, {}};
    GwImgWrite request{};
    request.format = format.c_str();
    request.width = width;
    request.height = height;
    request.channels = channels;
    request.bits = bits;
    request.attributes = attrs.data();
    request.band = band;
    request.context = &ctx;
    // No exception may cross the module: the callbacks report failure instead.
    request.rows = [](void* c, int y0, int y1) -> const void* {
        try {
            return (*static_cast<Context*>(c)->rows)(y0, y1);
        } catch (...) {
            return nullptr;
        }
    };
    request.append = [](void* c, const void* data, size_t size) -> int {
        try {
            auto& bytes = static_cast<Context*>(c)->bytes;
            const auto* p = static_cast<const uint8_t*>(data);
            bytes.insert(bytes.end(), p, p + size);
            return 1;
        } catch (...) {
            return 0;
        }
    };
    std::string error;
    if (!checked(lib.table->write(&request, appendText, &error)))
        return Result<Bytes>::failure(error.empty() ? "Cannot encode " + format : error);
    return std::move(ctx.bytes);
}

} // namespace ci::io::imagelib
