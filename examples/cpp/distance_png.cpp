// Writes one frame's distance image as a colour PNG through the library's colour map (near red,
// far blue, black where there is no distance). Usage: distance_png_cpp [OUT.png] [NEAR FAR]
#include <lumox/lumox.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "distance_colour.png";
    const float near = argc > 3 ? std::strtof(argv[2], nullptr) : 0.5f;
    const float far = argc > 3 ? std::strtof(argv[3], nullptr) : 4.0f;
    lumox_init("distance_png_cpp.log");
    lumox_dev_t *dev = lumox_dev_open(nullptr);
    if (!dev) return 1;
    lumox_cap_set_frame_buffer(dev, nullptr, 10 * LUMOX_FRAME_BUF_UNIT);
    lumox_dev_use_best_correction(dev, nullptr); /* the best distance correction available */

    std::vector<uint8_t> raw(614400);
    lumox_frame_info info{};
    bool ok = lumox_cap_snapshot(dev, raw.data(), static_cast<uint32_t>(raw.size()), &info);
    const uint32_t pixels = info.width * info.height;
    std::vector<float> metres(pixels);
    std::vector<uint8_t> rgb(3 * pixels);
    ok = ok && lumox_frame_get_distance(dev, metres.data(), pixels, raw.data(), info.frame_size,
                                        &info) > 0;
    ok = ok && lumox_cmap_float(rgb.data(), static_cast<int32_t>(rgb.size()), metres.data(),
                                static_cast<int32_t>(pixels), LUMOX_CMAP_RGB24, near, far) > 0;
    if (ok) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = info.width;
        image.height = info.height;
        image.format = PNG_FORMAT_RGB;
        ok = png_image_write_to_file(&image, path, 0, rgb.data(), 0, nullptr) != 0;
        if (ok)
            std::printf("%s: %ux%u, %.1f to %.1f m\n", path, info.width, info.height, near, far);
    }
    lumox_dev_close(dev);
    lumox_uninit();
    return ok ? 0 : 1;
}
