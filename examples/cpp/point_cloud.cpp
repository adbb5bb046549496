// Writes one frame's point cloud as a binary PLY file with a distance per point.
// Usage: point_cloud_cpp [OUT.ply]
#include <lumox/lumox.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "points_cpp.ply";
    lumox_init("point_cloud_cpp.log");
    lumox_dev_t *dev = lumox_dev_open(nullptr);
    if (!dev) return 1;
    lumox_cap_set_frame_buffer(dev, nullptr, 10 * LUMOX_FRAME_BUF_UNIT);
    lumox_dev_use_best_correction(dev, nullptr);  // the best distance correction available

    std::vector<uint8_t> raw(614400);
    lumox_frame_info info{};
    if (!lumox_cap_snapshot(dev, raw.data(), static_cast<uint32_t>(raw.size()), &info)) return 1;
    const uint32_t pixels = info.width * info.height;
    std::vector<float> metres(pixels), xyzd(4 * pixels);
    if (lumox_frame_get_distance(dev, metres.data(), pixels, raw.data(), info.frame_size, &info) <=
        0)
        return 1;
    // Organised: one point per pixel on its own ray through the lens, NaN where the pixel has
    // no distance; the intrinsics describe the same lens for this frame size.
    std::vector<float> xyz(3 * static_cast<size_t>(pixels));
    const int32_t points =
        lumox_frame_get_points(dev, xyz.data(), static_cast<uint32_t>(xyz.size()), metres.data(),
                               pixels, info.width, info.height, LUMOX_POINTS_ORGANIZED);
    lumox_intrinsics lens{};
    if (lumox_dev_get_intrinsics(dev, info.width, info.height, &lens))
        std::printf("fx %.2f fy %.2f cx %.2f cy %.2f %s\n", lens.fx, lens.fy, lens.cx, lens.cy,
                    lens.distortion_model);
    // x, y, z and the distance of every pixel that has one.
    int32_t n = 0;
    for (uint32_t i = 0; points > 0 && i < pixels; ++i) {
        if (std::isnan(xyz[3 * i])) continue;
        for (int c = 0; c < 3; ++c) xyzd[4 * n + c] = xyz[3 * i + c];
        xyzd[4 * n + 3] = metres[i];
        ++n;
    }
    lumox_dev_close(dev);
    lumox_uninit();
    if (n <= 0) return 1;

    std::ofstream out(path, std::ios::binary);
    out << "ply\nformat binary_little_endian 1.0\nelement vertex " << n << "\n"
        << "property float x\nproperty float y\nproperty float z\nproperty float distance\n"
        << "end_header\n";
    out.write(reinterpret_cast<const char *>(xyzd.data()),
              static_cast<std::streamsize>(sizeof(float) * 4 * static_cast<size_t>(n)));
    std::printf("%s: %d points\n", path, n);
    return out.good() ? 0 : 1;
}
