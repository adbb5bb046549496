/* Writes one frame's point cloud as an ASCII PLY file (x, y, z in metres).
 * Usage: point_cloud [OUT.ply] */
#include <lumox/lumox.h>

#include <stdio.h>

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "points.ply";
    lumox_init("point_cloud.log");
    lumox_dev_t *dev = lumox_dev_open(NULL);
    if (!dev) return 1;
    lumox_cap_set_frame_buffer(dev, NULL, 10 * LUMOX_FRAME_BUF_UNIT);
    /* The best distance correction the camera and its calibration files allow. */
    lumox_correction_state correction;
    if (lumox_dev_use_best_correction(dev, &correction))
        printf("correction: %s\n", correction.reason);

    static uint8_t raw[614400];
    static float metres[320 * 240];
    static float xyz[3 * 320 * 240];
    lumox_frame_info info;
    if (!lumox_cap_snapshot(dev, raw, sizeof raw, &info) ||
        lumox_frame_get_distance(dev, metres, 320 * 240, raw, info.frame_size, &info) <= 0)
        return 1;
    /* Each pixel's point on its own ray through the lens, in metres (x right, y down, z forward);
     * packed: pixels without a distance leave no point. */
    const int32_t n = lumox_frame_get_points(dev, xyz, 3 * 320 * 240, metres, 320 * 240, info.width,
                                             info.height, LUMOX_POINTS_PACKED);
    FILE *f = fopen(path, "w");
    if (!f || n <= 0) return 1;
    fprintf(f, "ply\nformat ascii 1.0\nelement vertex %d\n", n);
    fprintf(f, "property float x\nproperty float y\nproperty float z\nend_header\n");
    for (int32_t i = 0; i < n; ++i)
        fprintf(f, "%.4f %.4f %.4f\n", xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
    const int ok = fclose(f) == 0;
    printf("%s: %d points\n", path, n);
    lumox_dev_close(dev);
    lumox_uninit();
    return ok ? 0 : 1;
}
