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

int typeCode(ReadType type) {
    switch (type) {
    case ReadType::U8:
        return GW_READ_U8;
    case ReadType::U16:
        return GW_READ_U16;
    case ReadType::F32:
        return GW_READ_F32;
    case ReadType::Native:
        break;
    }
    return GW_READ_NATIVE;
}

class ModuleInput final : public PictureInput {
  public:
    ModuleInput(const GwImageLib& lib, GwImgInput* in, const GwImgSpec& s) : lib_(lib), in_(in) {
        spec_.width = s.width;
        spec_.height = s.height;
        spec_.nchannels = s.nchannels;
        spec_.depth = s.depth;
        spec_.deep = s.deep != 0;
        spec_.tileWidth = s.tile_width;
        spec_.y = s.y;
        spec_.z = s.z;
        spec_.base = s.base == GW_IMG_8BIT    ? StoredBase::U8
                     : s.base == GW_IMG_16BIT ? StoredBase::U16
                     : s.base == GW_IMG_FLOAT ? StoredBase::Float
                                              : StoredBase::Other;
        spec_.alphaChannel = s.alpha_channel;
        spec_.namedAlpha = s.named_alpha;
        spec_.unassociatedAlpha = s.unassociated_alpha != 0;
        spec_.orientation = s.orientation;
        spec_.scanlineBytes = s.scanline_bytes;
        spec_.imageBytes = s.image_bytes;
        if (s.icc && s.icc_size)
            spec_.iccProfile.assign(s.icc, s.icc + s.icc_size);
        format_.assign(s.format, strnlen(s.format, sizeof(s.format)));
    }
    ~ModuleInput() override { lib_.destroy(in_); }

    const PictureSpec& spec() const override { return spec_; }
    std::string formatName() const override { return format_; }
    bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) override {
        return checked(lib_.read_scanlines(in_, y0, y1, channels, typeCode(type), data));
    }
    bool readImage(int channels, ReadType type, void* data) override {
        return checked(lib_.read_image(in_, channels, typeCode(type), data));
    }
    std::string takeErrors() override {
        std::string text;
        lib_.take_errors(in_, appendText, &text);
        return text;
    }
    void close() override { lib_.close(in_); }

  private:
    const GwImageLib& lib_;
    GwImgInput* in_;
    PictureSpec spec_;
    std::string format_;
};

Opened opened(const GwImageLib& lib, GwImgInput* in, const GwImgSpec& spec, int noReader, std::string error) {
    Opened result;
    if (in)
        result.input = std::make_unique<ModuleInput>(lib, in, spec);
    result.noReader = noReader != 0;
    result.error = std::move(error);
    return result;
}

} // namespace

std::string load() {
    return loaded().error;
}

Opened openFile(const std::string& path) {
    const Loaded& lib = loaded();
    if (!lib.table)
        return Opened{nullptr, lib.error, false};
    GwImgSpec spec{};
    int noReader = 0;
    std::string error;
    GwImgInput* in = lib.table->open_file(path.c_str(), &spec, &noReader, appendText, &error);
    return opened(*lib.table, in, spec, noReader, std::move(error));
}

Opened openMemory(const std::string& format, const std::vector<uint8_t>& bytes) {
    const Loaded& lib = loaded();
    if (!lib.table)
        return Opened{nullptr, lib.error, false};
    GwImgSpec spec{};
    int noReader = 0;
    std::string error;
    GwImgInput* in = lib.table->open_memory(format.c_str(), bytes.data(), bytes.size(), &spec, &noReader,
                                            appendText, &error);
    return opened(*lib.table, in, spec, noReader, std::move(error));
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
