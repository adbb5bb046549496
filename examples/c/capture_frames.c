/* Captures frames and prints their description and the mean distance of each.
 * Usage: capture_frames [FRAMES] */
#include <lumox/lumox.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    const int frames = argc > 1 ? atoi(argv[1]) : 10;
    lumox_init("capture_frames.log");
    lumox_dev_t *dev = lumox_dev_open(NULL); /* the first camera */
    if (!dev) {
        fprintf(stderr, "no camera (see capture_frames.log)\n");
        return 1;
    }
    /* Keep up to 10 frames in the library while this program is busy. */
    lumox_cap_set_frame_buffer(dev, NULL, 10 * LUMOX_FRAME_BUF_UNIT);
    if (!lumox_cap_start(dev)) return 1;

    static uint8_t raw[614400];     /* one raw frame: 320 x 240 pixels, four 16-bit samples */
    static float metres[320 * 240]; /* its distance image */
    int status = 0;
    for (int i = 0; i < frames && status == 0; ++i) {
        lumox_frame_info info;
        const int32_t got = lumox_cap_get_frames(dev, 1, raw, sizeof raw, &info);
        if (got != 1) {
            fprintf(stderr, "capture failed: %d %s\n", got, lumox_error_name(got));
            status = 1;
            break;
        }
        const int32_t pixels =
            lumox_frame_get_distance(dev, metres, 320 * 240, raw, info.frame_size, &info);
        /* Codes of 65.3 m and more mark pixels without a distance. */
        double sum = 0;
        int valid = 0;
        for (int32_t p = 0; p < pixels; ++p) {
            if (metres[p] < 65.3f) {
                sum += metres[p];
                ++valid;
            }
        }
        printf("frame %5u  %ux%u  %u bytes  valid %5.1f %%  mean %.3f m\n", info.frame_idx,
               info.width, info.height, info.frame_size, pixels ? 100.0 * valid / pixels : 0.0,
               valid ? sum / valid : NAN);
        if (pixels <= 0) status = 1;
    }
    lumox_cap_stop(dev);
    lumox_dev_close(dev);
    lumox_uninit();
    return status;
}
