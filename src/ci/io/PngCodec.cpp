#include "PngCodec.h"

#include "Codec.h"

#include <png.h>

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <iterator>

namespace ci::io::png {

namespace {

constexpr png_alloc_size_t kChunkMax = 16u << 20;

class Input final : public FileInput {
  public:
    ~Input() override {
        if (png_)
            png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
    }

    /// Reads the header; false when libpng refuses it or the picture is not one read here.
    bool open(int fd, const std::vector<uint8_t>* bytes) {
        fd_ = fd;
        bytes_ = bytes;
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, onError, onWarning);
        if (!png_)
            return false;
        info_ = png_create_info_struct(png_);
        if (!info_)
            return false;
        return readHeader(*this);
    }

    const PictureSpec& spec() const override { return spec_; }
    std::string formatName() const override { return "png"; }

    bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) override {
        const ReadType stored = spec_.base == StoredBase::U16 ? ReadType::U16 : ReadType::U8;
        if ((type != stored && type != ReadType::Native) || channels != spec_.nchannels || y0 != nextRow_ ||
            y1 < y0 || y1 > spec_.height || failed_) {
            if (!failed_)
                error_ = "The image data could not be read";
            return false;
        }
        return readRows(*this, static_cast<uint8_t*>(data), y1 - y0);
    }
    bool readImage(int channels, ReadType type, void* data) override {
        return readScanlines(0, spec_.height, channels, type, data);
    }
    std::string takeErrors() override {
        std::string text;
        text.swap(error_);
        return text;
    }

  private:
    [[noreturn]] static void onError(png_structp png, png_const_charp message) {
        auto* in = static_cast<Input*>(png_get_error_ptr(png));
        if (in->error_.empty())
            in->error_ = message;
        in->failed_ = true;
        png_longjmp(png, 1);
    }
    // Warnings are about ancillary chunks, which are skipped; the pixels are whole. But a chunk
    // longer than the limit set below is only a warning to libpng, which then allocates (and
    // clears) all of it, gigabytes for a few bytes of file: such a file is damaged. Chunks passed
    // over unread (onChunk) are only skipped.
    static void onWarning(png_structp png, png_const_charp message) {
        if (std::strstr(message, "chunk data is too large") && readsWhole(png_get_io_chunk_type(png)))
            png_error(png, message);
    }

    /// Whether libpng reads a chunk of this type whole itself: the ones it knows, unless set aside
    /// for onChunk.
    static bool readsWhole(png_uint_32 type) {
        static const char* const known[] = {"IHDR", "PLTE", "IDAT", "IEND", "bKGD", "cHRM",
                                            "eXIf", "gAMA", "hIST", "iCCP", "oFFs", "pCAL",
                                            "pHYs", "sBIT", "sCAL", "sRGB", "tIME", "tRNS"};
        return std::any_of(std::begin(known), std::end(known), [&](const char* name) {
            return type == (png_uint_32(uint8_t(name[0])) << 24 | png_uint_32(uint8_t(name[1])) << 16 |
                            png_uint_32(uint8_t(name[2])) << 8 | png_uint_32(uint8_t(name[3])));
        });
    }

    // Text and chunks unknown to libpng are not used here: they are neither inflated nor kept (40
    // compressed texts of 60 MB each took seconds and gigabytes). Only the keyword of a text is
    // looked at, for the texts that the image library reads into what the decoder uses: an
    // orientation, given alone or in EXIF, and how alpha is stored. Files with those are left to it.
    static int onChunk(png_structp png, png_unknown_chunkp chunk) {
        auto* in = static_cast<Input*>(png_get_user_chunk_ptr(png));
        const auto is = [&](const char* type) { return std::memcmp(chunk->name, type, 4) == 0; };
        if ((is("tEXt") || is("zTXt") || is("iTXt")) && chunk->data) {
            const char* key = reinterpret_cast<const char*>(chunk->data);
            const std::string keyword(key, strnlen(key, chunk->size));
            for (const char* used : {"Orientation", "Raw profile type exif", "oiio:UnassociatedAlpha"})
                if (strcasecmp(keyword.c_str(), used) == 0)
                    in->attributes_ = true;
        }
        // Handled, so libpng keeps nothing; but a critical chunk not known stays an error: the
        // pixels may depend on it.
        return (chunk->name[0] & 0x20) ? 1 : 0;
    }

    static void readData(png_structp png, png_bytep out, size_t size) {
        auto* in = static_cast<Input*>(png_get_io_ptr(png));
        if (in->fd_ >= 0) {
            // At offsets of its own, whatever else reads the file.
            for (size_t done = 0; done < size;) {
                const ssize_t n = ::pread(in->fd_, out + done, size - done, off_t(in->offset_ + done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    png_error(png, "Read error: hit end of file");
                done += size_t(n);
            }
            in->offset_ += size;
            return;
        }
        if (in->offset_ + size > in->bytes_->size())
            png_error(png, "Read error: hit end of file");
        std::memcpy(out, in->bytes_->data() + in->offset_, size);
        in->offset_ += size;
    }

    // Between a setjmp and the longjmp of an error only plain data is made and changed.

    static bool readHeader(Input& in) {
        if (setjmp(png_jmpbuf(in.png_)) != 0)
            return false;
        png_set_read_fn(in.png_, &in, readData);
        // A chunk cannot make a few bytes of file ask for gigabytes: what is read of one (a profile
        // inflated, EXIF) is bounded by far more than a photograph's profile takes.
        png_set_chunk_malloc_max(in.png_, kChunkMax);
        static const png_byte setAside[] = "tEXt\0zTXt\0iTXt\0sPLT";
        png_set_keep_unknown_chunks(in.png_, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
        png_set_keep_unknown_chunks(in.png_, PNG_HANDLE_CHUNK_NEVER, setAside, 4);
        png_set_read_user_chunk_fn(in.png_, &in, onChunk);
        png_read_info(in.png_, in.info_);
        png_uint_32 w = 0, h = 0;
        int depth = 0, colour = 0, interlace = 0;
        png_get_IHDR(in.png_, in.info_, &w, &h, &depth, &colour, &interlace, nullptr, nullptr);
        // EXIF and some texts carry attributes (an orientation) that the image library reads.
        const bool plain = (depth == 8 || depth == 16) &&
                           (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA ||
                            colour == PNG_COLOR_TYPE_RGB || colour == PNG_COLOR_TYPE_RGB_ALPHA) &&
                           interlace == PNG_INTERLACE_NONE &&
                           !png_get_valid(in.png_, in.info_, PNG_INFO_tRNS) &&
                           !png_get_valid(in.png_, in.info_, PNG_INFO_eXIf) && !in.attributes_;
        if (!plain || w == 0 || h == 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF)
            return false;
        if (depth == 16)
            png_set_swap(in.png_); // samples in the machine's order
        png_read_update_info(in.png_, in.info_);
        PictureSpec& s = in.spec_;
        s.width = int(w);
        s.height = int(h);
        s.nchannels = png_get_channels(in.png_, in.info_);
        s.base = depth == 16 ? StoredBase::U16 : StoredBase::U8;
        s.alphaChannel = (colour & PNG_COLOR_MASK_ALPHA) ? s.nchannels - 1 : -1;
        s.unassociatedAlpha = true; // as stored: PNG alpha is straight
        s.scanlineBytes = int64_t(s.width) * s.nchannels * (depth / 8);
        s.imageBytes = s.scanlineBytes * s.height;
        png_charp name = nullptr;
        png_bytep profile = nullptr;
        png_uint_32 size = 0;
        int compression = 0;
        if (png_get_iCCP(in.png_, in.info_, &name, &compression, &profile, &size) && profile && size)
            s.iccProfile.assign(profile, profile + size);
        return true;
    }

    static bool readRows(Input& in, uint8_t* data, int count) {
        const size_t stride = size_t(in.spec_.scanlineBytes);
        if (setjmp(png_jmpbuf(in.png_)) != 0)
            return false;
        for (int i = 0; i < count; ++i, ++in.nextRow_)
            png_read_row(in.png_, data + size_t(i) * stride, nullptr);
        return true;
    }

    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    const std::vector<uint8_t>* bytes_ = nullptr;
    size_t offset_ = 0;
    PictureSpec spec_;
    int nextRow_ = 0;
    bool failed_ = false;
    bool attributes_ = false; ///< a text that the image library reads into an attribute
    std::string error_;
};

} // namespace

std::unique_ptr<PictureInput> openFile(const std::string& path) {
    const Result<PictureFile> file = PictureFile::open(path);
    return file ? openDescriptor(file->descriptor()) : nullptr;
}

std::unique_ptr<PictureInput> openDescriptor(int fd) {
    return openInput<Input>(fd, nullptr);
}

std::unique_ptr<PictureInput> openMemory(const std::vector<uint8_t>& bytes) {
    return openInput<Input>(-1, &bytes);
}

} // namespace ci::io::png
