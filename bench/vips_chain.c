/* The chain of bench/compare_peers.sh in one libvips process, on all cores: colour controls
 * (saturation 1.2 about the luma, contrast 1.1 about mid-grey), Gaussian blur sigma 5, Lanczos
 * scale 0.5, JPEG quality 80. Built by the script against the system's libvips.
 *
 *     vips_chain OUTDIR IMAGE...
 */
#include <vips/vips.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0]))
        vips_error_exit(NULL);
    if (argc < 3) {
        fprintf(stderr, "usage: vips_chain OUTDIR IMAGE...\n");
        return 2;
    }
    const double s = 1.2, c = 1.1, w[3] = {0.2126, 0.7152, 0.0722};
    VipsImage* m = vips_image_new_matrix(3, 3);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            *VIPS_MATRIX(m, j, i) = (1 - s) * w[j] + (i == j ? s : 0);
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        // Random access: with sequential access this chain runs several times slower on one core.
        VipsImage* in = vips_image_new_from_file(argv[i], NULL);
        VipsImage *t0 = NULL, *t1 = NULL, *t2 = NULL, *t3 = NULL;
        const char* base = strrchr(argv[i], '/');
        char out[4096];
        snprintf(out, sizeof out, "%s/%s", argv[1], base ? base + 1 : argv[i]);
        if (!in || vips_recomb(in, &t0, m, NULL) ||
            vips_linear1(t0, &t1, c, 128 * (1 - c), "uchar", TRUE, NULL) ||
            vips_gaussblur(t1, &t2, 5.0, NULL) ||
            vips_resize(t2, &t3, 0.5, "kernel", VIPS_KERNEL_LANCZOS3, NULL) ||
            vips_jpegsave(t3, out, "Q", 80, NULL)) {
            fprintf(stderr, "%s: %s\n", argv[i], vips_error_buffer());
            vips_error_clear();
            ++failed;
        }
        VipsImage* all[] = {in, t0, t1, t2, t3};
        for (int k = 0; k < 5; ++k)
            if (all[k])
                g_object_unref(all[k]);
    }
    g_object_unref(m);
    vips_shutdown();
    return failed ? 1 : 0;
}
