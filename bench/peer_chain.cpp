// The chain that bench/compare_peers.sh runs with every tool, on the engine alone (no application
// around it): decode JPEG, colour controls (saturation 1.2, contrast 1.1), Gaussian blur radius 5,
// Lanczos scale 0.5, encode JPEG at quality 0.8.
//
//     peer_chain OUTDIR IMAGE...

#include "ci/core/Context.h"
#include "ci/core/Value.h"
#include "ci/io/Codec.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: peer_chain OUTDIR IMAGE...\n");
        return 2;
    }
    const std::filesystem::path outDir = argv[1];
    std::filesystem::create_directories(outDir);
    const auto start = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        auto decoded = ci::io::decodeFile(argv[i]);
        if (!decoded) {
            std::fprintf(stderr, "%s: %s\n", argv[i], decoded.error().c_str());
            ++failed;
            continue;
        }
        const ci::Image src = decoded->image;
        const ci::Image out =
            src.applyingFilter("CIColorControls", {{"inputSaturation", 1.2}, {"inputContrast", 1.1}})
                .clampedToExtent()
                .applyingFilter("CIGaussianBlur", {{"inputRadius", 5.0}})
                .cropped(src.extent())
                .applyingFilter("CILanczosScaleTransform", {{"inputScale", 0.5}});
        auto bytes = ci::io::encodeImage(out, ci::io::FileType::JPEG, 0.8);
        if (!bytes) {
            std::fprintf(stderr, "%s: %s\n", argv[i], bytes.error().c_str());
            ++failed;
            continue;
        }
        std::ofstream(outDir / (std::filesystem::path(argv[i]).stem().string() + ".jpg"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes->data()), std::streamsize(bytes->size()));
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("peer_chain: %d images in %.2f s\n", argc - 2 - failed, s);
    return failed ? 1 : 0;
}
