/* Capture plus distance per frame in C: the reference loop for the Python package's overhead.
 *
 * Each round fills the library's frame buffer with ready frames, then times, frame by frame,
 * lumox_cap_get_frames (one frame into the caller's buffer) and lumox_frame_get_distance, in CPU
 * time of the calling thread. Waiting for the camera is not timed, so the loop measures the
 * host's work. capture_distance.py runs this loop (loaded into the same process) in turn with
 * the same loop written with the lumox package, on the same camera; run as a program it prints
 * the median time per frame in microseconds. */
#include <lumox/lumox.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { kFrames = 30, kRawBytes = 614400, kPixels = 320 * 240 };

/* CPU time of this thread: the host's work, not the waits of a shared, loaded machine. */
static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

/* Opens the first camera, runs `rounds` rounds of kFrames frames and stores each frame's time
 * (microseconds) in times; returns the frames timed, or -1. The library must be started. */
__attribute__((visibility("default"))) int capture_distance_loop(int rounds, double *times) {
    static uint8_t raw[kRawBytes];
    static float metres[kPixels];
    lumox_dev_t *dev = lumox_dev_open(NULL);
    if (!dev) return -1;
    /* The same correction as the Python package switches on at open: the per-pixel table when
     * the calibration files are there. */
    uint8_t calibration_set = 0;
    lumox_filter_enable(dev, FILTER_DRNU, &calibration_set, 1);
    int timed = 0;
    lumox_cap_set_frame_buffer(dev, NULL, kFrames * LUMOX_FRAME_BUF_UNIT);
    for (int r = 0; r < rounds && timed >= 0; ++r) {
        if (!lumox_cap_start(dev)) timed = -1;
        lumox_cap_stats stats = {0};
        while (timed >= 0 && lumox_cap_get_stats(dev, &stats) && stats.frames_ready < kFrames)
            usleep(5000);
        for (int k = 0; k < kFrames && timed >= 0; ++k) {
            lumox_frame_info info;
            const double t0 = now_us();
            if (lumox_cap_get_frames(dev, 1, raw, sizeof raw, &info) != 1 ||
                lumox_frame_get_distance(dev, metres, kPixels, raw, info.frame_size, &info) <= 0)
                timed = -1;
            else
                times[timed++] = now_us() - t0;
        }
        lumox_cap_stop(dev);
    }
    lumox_dev_close(dev);
    return timed;
}

static int by_value(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 10;
    if (rounds <= 0) return 2;
    double *times = malloc(sizeof(double) * (size_t)rounds * kFrames);
    lumox_init("capture_distance_c.log");
    const int timed = times ? capture_distance_loop(rounds, times) : -1;
    lumox_uninit();
    if (timed <= 0) return fprintf(stderr, "no camera or no frames\n"), 1;
    qsort(times, (size_t)timed, sizeof *times, by_value);
    printf("C       %8.1f us per frame (median of %d frames)\n", times[timed / 2], timed);
    free(times);
    return 0;
}
