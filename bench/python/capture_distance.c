/* Capture plus distance per frame in C: the reference loop for the Python package's overhead.
 *
 * Each round fills the library's frame buffer with ready frames, then times, frame by frame,
 * lumox_cap_get_frames (one frame into the caller's buffer) and lumox_frame_get_distance. Waiting
 * for the camera is not timed, so both loops measure the host's work on the same frames. Prints
 * the median time per frame in microseconds. capture_distance.py is the same loop in Python. */
#include <lumox/lumox.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { kFrames = 30, kRawBytes = 614400, kPixels = 320 * 240 };

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int by_value(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 10;
    if (rounds <= 0) return 2;
    lumox_init("capture_distance_c.log");
    lumox_dev_t *dev = lumox_dev_open(NULL);
    if (!dev) return fprintf(stderr, "no camera\n"), 1;
    static uint8_t raw[kRawBytes];
    static float metres[kPixels];
    double *times = malloc(sizeof(double) * (size_t)rounds * kFrames);
    int timed = 0;
    lumox_cap_set_frame_buffer(dev, NULL, kFrames * LUMOX_FRAME_BUF_UNIT);
    for (int r = 0; r < rounds; ++r) {
        if (!lumox_cap_start(dev)) return fprintf(stderr, "no capture\n"), 1;
        lumox_cap_stats stats = {0};
        while (lumox_cap_get_stats(dev, &stats) && stats.frames_ready < kFrames) usleep(5000);
        for (int k = 0; k < kFrames; ++k) {
            lumox_frame_info info;
            const double t0 = now_us();
            if (lumox_cap_get_frames(dev, 1, raw, sizeof raw, &info) != 1) return 1;
            if (lumox_frame_get_distance(dev, metres, kPixels, raw, info.frame_size, &info) <= 0)
                return 1;
            times[timed++] = now_us() - t0;
        }
        lumox_cap_stop(dev);
    }
    qsort(times, (size_t)timed, sizeof *times, by_value);
    printf("C       %8.1f us per frame (median of %d frames)\n", times[timed / 2], timed);
    free(times);
    lumox_dev_close(dev);
    lumox_uninit();
    return 0;
}
