/* Writes one frame's distance image as a 16-bit gray PNG in millimetres (0: no distance).
 * Usage: distance_png [OUT.png]; build with $(pkg-config --cflags --libs lumox libpng) */
#include <lumox/lumox.h>
#include <png.h>

#include <stdio.h>

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "distance.png";
    lumox_init("distance_png.log");
    lumox_dev_t *dev = lumox_dev_open(NULL);
    if (!dev) return 1;
    lumox_cap_set_frame_buffer(dev, NULL, 10 * LUMOX_FRAME_BUF_UNIT);
    lumox_dev_use_best_correction(dev, NULL); /* the best distance correction available */

    static uint8_t raw[614400];
    static float metres[320 * 240];
    static uint16_t mm[320 * 240];
    lumox_frame_info info;
    /* A snapshot starts the capture, takes one frame and stops again. */
    int ok = lumox_cap_snapshot(dev, raw, sizeof raw, &info) &&
             lumox_frame_get_distance(dev, metres, 320 * 240, raw, info.frame_size, &info) > 0;
    if (ok) {
        for (uint32_t i = 0; i < info.width * info.height; ++i)
            mm[i] = metres[i] < 65.3f ? (uint16_t)(metres[i] * 1000.0f + 0.5f) : 0;
        /* libpng's simplified interface: linear 16-bit gray, rows of width samples. */
        png_image image = {0};
        image.version = PNG_IMAGE_VERSION;
        image.width = info.width;
        image.height = info.height;
        image.format = PNG_FORMAT_LINEAR_Y;
        ok = png_image_write_to_file(&image, path, 0, mm, 0, NULL);
        if (ok) printf("%s: %ux%u millimetres\n", path, info.width, info.height);
    }
    lumox_dev_close(dev);
    lumox_uninit();
    return ok ? 0 : 1;
}
