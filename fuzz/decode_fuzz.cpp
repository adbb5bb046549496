// The frame conversion calls with untrusted frame information and raw bytes: distance and gray
// decoding through the EPC driver of a virtual camera (with any mix of the driver's processing
// steps switched on), the two point-cloud projections (with the driver's lens parameters or any
// caller view) and the colour conversion, each into an output of any length.
//
// Every output buffer is allocated to exactly the length the call is told, so a write past it is
// a heap overflow for AddressSanitizer. Checked besides the sanitizers: no call reports more
// values than its output holds. The target re-executes itself under the umockdev preload library
// on start (the camera is opened once; decoding itself sends nothing to it).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_util.h"
#include "lumox/device.h"
#include "lumox/frame.h"
#include "lumox/image.h"
#include "testing/hooks.h"
#include "vcam/usb/bus.h"

namespace {

std::unique_ptr<lumox::vcam::VirtualBus> g_bus;
lumox_dev_t g_dev{};

// Outputs are capped so that one input cannot ask for gigabytes.
constexpr uint32_t kMaxOutput = 1u << 20;

// The processing steps that work without talking to the camera.
constexpr uint32_t kFilters[] = {FILTER_LENS_UNDISTORT, FILTER_DRNU,         FILTER_DEPTH_SMOOTH,
                                 FILTER_MIN_AMPLITUDE,  FILTER_TEMP_MONITOR, FILTER_HDR};

void check(bool cond, const char *what) {
    if (!cond) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

lumox_frame_info consume_info(FuzzedDataProvider &in) {
    lumox_frame_info info{};
    // Mostly near the camera's real geometry, sometimes anything at all.
    if (in.ConsumeBool()) {
        info.width = in.ConsumeIntegral<uint32_t>();
        info.height = in.ConsumeIntegral<uint32_t>();
        info.frame_size = in.ConsumeIntegral<uint32_t>();
    } else {
        info.width = in.ConsumeIntegralInRange<uint32_t>(0, 336);
        info.height = in.ConsumeIntegralInRange<uint32_t>(0, 256);
        info.frame_size = info.width * info.height * in.ConsumeIntegralInRange<uint32_t>(0, 9);
    }
    static constexpr uint16_t kFormats[] = {2, 0, 8, 171, 1, 3, 0xFFFF};
    info.frame_format = in.ConsumeBool() ? kFormats[in.ConsumeIntegralInRange<size_t>(0, 6)]
                                         : in.ConsumeIntegral<uint16_t>();
    info.frame_idx = in.ConsumeIntegral<uint16_t>();
    info.pixel_bytes = in.ConsumeIntegral<uint8_t>();
    return info;
}

// The processing switches each input asks for. Switching HDR writes the sensor's registers (a
// USB command each time), so only the switches whose state or argument changes are touched: most
// inputs then decode without a word to the camera.
struct FilterState {
    bool on = false;
    std::vector<uint8_t> arg;
    bool operator==(const FilterState &) const = default;
};
FilterState g_filters[std::size(kFilters)];

void switch_filters(FuzzedDataProvider &in) {
    FilterState wanted[std::size(kFilters)];
    const int count = in.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < count; ++i) {
        FilterState &w = wanted[in.ConsumeIntegralInRange<size_t>(0, std::size(kFilters) - 1)];
        w.on = true;
        w.arg = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4));
    }
    for (size_t k = 0; k < std::size(kFilters); ++k) {
        if (wanted[k] == g_filters[k]) continue;
        if (wanted[k].on) {
            std::vector<uint8_t> arg = wanted[k].arg;
            lumox_filter_enable(&g_dev, kFilters[k], arg.empty() ? nullptr : arg.data(),
                                static_cast<uint32_t>(arg.size()));
        } else {
            lumox_filter_disable(&g_dev, kFilters[k]);
        }
        g_filters[k] = wanted[k];
    }
}

lumox_camera_view consume_view(FuzzedDataProvider &in) {
    lumox_camera_view view{};
    view.cx = in.ConsumeFloatingPoint<float>();
    view.cy = in.ConsumeFloatingPoint<float>();
    view.fx = in.ConsumeFloatingPoint<float>();
    view.fy = in.ConsumeFloatingPoint<float>();
    view.dist_scale = in.ConsumeFloatingPoint<float>();
    return view;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    if (!lumox::vcam::reexec_under_preload(*argc, *argv)) {
        std::fprintf(stderr, "cannot run under the umockdev preload library\n");
        std::exit(1);
    }
    lumox::platform::set_sleep_hook([](uint32_t) {});
    lumox_path_cfg(lumox::fuzz::scratch_dir().c_str());
    g_bus = std::make_unique<lumox::vcam::VirtualBus>();
    lumox_init((lumox::fuzz::scratch_dir() + "fuzz.log").c_str());
    lumox::fuzz::route_logs_to_null();
    if (!lumox_dev_open(&g_dev)) {
        std::fprintf(stderr, "the virtual camera does not open\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const lumox_frame_info info = consume_info(in);
    switch_filters(in);
    const uint32_t dst_len = in.ConsumeBool() ? info.width * info.height * 2
                                              : in.ConsumeIntegralInRange<uint32_t>(0, 4096);
    const bool view_given = in.ConsumeBool();
    const lumox_camera_view view = consume_view(in);
    const uint8_t pseudo_color = in.ConsumeBool();
    const uint32_t cmap_format = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    const float range_min = in.ConsumeFloatingPoint<float>();
    const float range_max = in.ConsumeFloatingPoint<float>();
    // The rest is the frame, in a buffer of exactly its length.
    const std::vector<uint8_t> raw = in.ConsumeRemainingBytes<uint8_t>();
    const auto raw_len = static_cast<uint32_t>(raw.size());

    std::vector<float> image(std::min(dst_len, kMaxOutput));
    const auto image_len = static_cast<uint32_t>(image.size());
    // The frame index picks the call: odd the gray image, even the distances alone or (bit 1)
    // with the gray image beside them.
    std::vector<float> gray;
    int32_t pixels = 0;
    if (info.frame_idx & 1) {
        pixels = lumox_frame_get_gray(&g_dev, image.data(), image_len, raw.data(), raw_len, &info);
    } else if (info.frame_idx & 2) {
        gray.resize(image_len);
        pixels = lumox_frame_get_distance_gray(&g_dev, image.data(), gray.data(), image_len,
                                               raw.data(), raw_len, &info);
    } else {
        pixels =
            lumox_frame_get_distance(&g_dev, image.data(), image_len, raw.data(), raw_len, &info);
    }
    check(pixels >= 0 && static_cast<uint32_t>(pixels) <= image_len,
          "a decode reports no more pixels than its output holds");

    // Project what was decoded, as the given size claims it.
    const uint32_t points_len =
        std::min<uint32_t>(image_len * 4 + (info.frame_idx >> 8), kMaxOutput);
    std::vector<float> points(points_len);
    const lumox_camera_view *v = view_given ? &view : nullptr;
    const int32_t xyz = lumox_frame_get_pcl(&g_dev, points.data(), points_len, image.data(),
                                            image_len, info.width, info.height, v);
    check(xyz >= 0 && static_cast<uint64_t>(xyz) * 3 <= points_len,
          "a point cloud reports no more points than its output holds");
    const int32_t xyzd =
        lumox_frame_get_pcl_xyzd(&g_dev, points.data(), points_len, image.data(), image_len,
                                 info.width, info.height, pseudo_color, v);
    check(xyzd >= 0 && static_cast<uint64_t>(xyzd) * 4 <= points_len,
          "a point cloud with distances reports no more points than its output holds");

    std::vector<uint8_t> colours(
        std::min<uint32_t>(image_len * 3 + (info.pixel_bytes & 7), kMaxOutput));
    const int32_t coloured =
        lumox_cmap_float(colours.data(), static_cast<int32_t>(colours.size()), image.data(),
                         static_cast<int32_t>(image_len), cmap_format, range_min, range_max);
    const uint64_t colour_bytes = cmap_format == LUMOX_CMAP_RGB32 ? 4 : 3;
    check(coloured >= 0 && static_cast<uint64_t>(coloured) * colour_bytes <= colours.size(),
          "a colour conversion reports no more pixels than its output holds");
    return 0;
}
