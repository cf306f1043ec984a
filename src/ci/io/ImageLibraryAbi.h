#pragma once

// The plain C interface to the module that holds the heavy image library (every format but JPEG
// and PNG, and the JPEG files libjpeg is not asked to read directly). Its readers run only in the
// worker process (gw_imagelib_worker), which serves the reading half of this table to the engine;
// the engine opens the module itself only to write TIFF and BMP, so that a process that reads and
// writes JPEG and PNG never maps the library and its hundreds of dependencies.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GW_IMAGELIB_VERSION 3
#define GW_IMAGELIB_ENTRY "gw_imagelib_table"

/// How the samples of a file are stored.
enum GwImgBase {
    GW_IMG_8BIT = 0,  ///< 8-bit integers
    GW_IMG_16BIT = 1, ///< 16-bit integers
    GW_IMG_FLOAT = 2, ///< half, float or double: linear light
    GW_IMG_OTHER = 3, ///< wider integers, read as float
};

/// The sample type a read asks for.
enum GwImgRead { GW_READ_U8 = 0, GW_READ_U16 = 1, GW_READ_F32 = 2, GW_READ_NATIVE = 3 };

/// Results: GW_IMG_OK, GW_IMG_FAILED (the message says why), GW_IMG_NO_MEMORY.
enum GwImgStatus { GW_IMG_FAILED = 0, GW_IMG_OK = 1, GW_IMG_NO_MEMORY = -1 };

typedef struct GwImgSpec {
    int width, height, nchannels, depth;
    int deep;
    int tile_width;
    int y, z;          ///< origin of the data window
    int base;          ///< GwImgBase
    int alpha_channel; ///< as the reader says, may be out of range
    int named_alpha;   ///< the last channel named A or Alpha, -1 when none
    int unassociated_alpha;
    int orientation;        ///< EXIF orientation, 1 when none
    int64_t scanline_bytes; ///< of the stored samples
    int64_t image_bytes;
    const uint8_t* icc; ///< embedded ICC profile, valid while the input is open; null when none
    size_t icc_size;
    char format[32]; ///< the reader's format name
} GwImgSpec;

typedef struct GwImgInput GwImgInput;

/// Receives a message (UTF-8, not kept after the call).
typedef void (*GwImgText)(void* context, const char* text);

typedef struct GwImgWrite {
    const char* format; ///< writer name: "tiff", "bmp", "jpeg"
    int width, height, channels, bits;
    const char* const* attributes; ///< key, value, key, value, ..., null
    /// Rows y0 to y1 of packed samples (`channels` samples a pixel), or null on failure.
    const void* (*rows)(void* context, int y0, int y1);
    int band; ///< rows asked for at a time
    /// Appends encoded bytes; 0 when they could not be kept.
    int (*append)(void* context, const void* data, size_t size);
    void* context;
} GwImgWrite;

typedef struct GwImageLib {
    int version;
    /// Opens the picture in the file open on `fd` (kept open by the caller until destroy) with
    /// the reader named `format` alone, never trying another. The file is never named to the
    /// library by a name of its own. GW_IMG_OK with `*input` set, else the status with the message.
    int (*open_fd)(int fd, const char* format, GwImgInput** input, GwImgSpec* spec, GwImgText error,
                   void* context);
    int (*read_scanlines)(GwImgInput* in, int y0, int y1, int channels, int type, void* data);
    int (*read_image)(GwImgInput* in, int channels, int type, void* data);
    /// Hands over the pending messages of the input (one a line) and clears them; 0 when none.
    int (*take_errors)(GwImgInput* in, GwImgText error, void* context);
    /// Closes the file; the input stays valid for take_errors.
    void (*close)(GwImgInput* in);
    void (*destroy)(GwImgInput* in);
    int (*write)(const GwImgWrite* request, GwImgText error, void* context);
    /// Makes the library's shared state (its thread pool) once, in a process about to copy itself
    /// into readers that read on one thread and may start none.
    void (*prepare_readers)(void);
} GwImageLib;

typedef const GwImageLib* (*GwImageLibEntry)(void);

#ifdef __cplusplus
}
#endif
