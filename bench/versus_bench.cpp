// Our image kernels against OpenCV's counterparts on the same 320 x 240 16-bit depth image, one
// thread each, timed alternately in the same loop by the thread's CPU clock (other processes on
// the machine do not count). Counters: ours_us, opencv_us and ratio = ours / OpenCV. Built only
// where OpenCV's imgproc module is installed.

#if LUMOX_BENCH_OPENCV

#include <benchmark/benchmark.h>

#include <ctime>
#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "frames.h"
#include "lumox/image.h"

namespace {

using lumox::bench::kHeight;
using lumox::bench::kWidth;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <typename Ours, typename Theirs>
void compare(benchmark::State &state, Ours ours, Theirs theirs) {
    cv::setNumThreads(0);             // sequential: one core for both
    double t_ours = 0, t_theirs = 0;  // seconds
    for (auto _ : state) {
        const double t0 = cpu_seconds();
        ours();
        benchmark::ClobberMemory();
        const double t1 = cpu_seconds();
        theirs();
        benchmark::ClobberMemory();
        const double t2 = cpu_seconds();
        t_ours += t1 - t0;
        t_theirs += t2 - t1;
    }
    const auto n = static_cast<double>(state.iterations());
    const double ours_us = t_ours * 1e6 / n;
    const double theirs_us = t_theirs * 1e6 / n;
    state.counters["ours_us"] = ours_us;
    state.counters["opencv_us"] = theirs_us;
    state.counters["ratio"] = ours_us / theirs_us;
}

struct Images {
    std::vector<uint16_t> src = lumox::bench::depth_image();
    std::vector<uint16_t> dst = std::vector<uint16_t>(src.size());
    cv::Mat cv_src = cv::Mat(kHeight, kWidth, CV_16UC1, src.data()).clone();
    cv::Mat cv_dst = cv::Mat(kHeight, kWidth, CV_16UC1);
};

void BM_MedianK3(benchmark::State &state) {
    Images im;
    compare(
        state, [&] { lx_median2d_u16_k3(im.dst.data(), im.src.data(), kWidth, kHeight); },
        [&] { cv::medianBlur(im.cv_src, im.cv_dst, 3); });
}
BENCHMARK(BM_MedianK3)->Name("versus/median2d_u16_k3:medianBlur3");

void BM_MedianK5(benchmark::State &state) {
    Images im;
    compare(
        state, [&] { lx_median2d_u16_k5(im.dst.data(), im.src.data(), kWidth, kHeight); },
        [&] { cv::medianBlur(im.cv_src, im.cv_dst, 5); });
}
BENCHMARK(BM_MedianK5)->Name("versus/median2d_u16_k5:medianBlur5");

void BM_GaussK3(benchmark::State &state) {
    Images im;
    compare(
        state, [&] { lx_gauss2d_u16_k3(im.dst.data(), im.src.data(), kWidth, kHeight); },
        [&] {
            cv::GaussianBlur(im.cv_src, im.cv_dst, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
        });
}
BENCHMARK(BM_GaussK3)->Name("versus/gauss2d_u16_k3:GaussianBlur3x3");

void BM_Remap(benchmark::State &state) {
    Images im;
    const lx_lens_param lens = {157.262,
                                122.083,
                                210.783,
                                204.817,
                                {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
                                kWidth,
                                kHeight};
    lx_calib_len_map map{};
    lx_calib_len_init_map(&map, &lens);
    const cv::Mat map_x(kHeight, kWidth, CV_32FC1, map.map_x);
    const cv::Mat map_y(kHeight, kWidth, CV_32FC1, map.map_y);
    compare(
        state,
        [&] {
            lx_calib_len_undistort_u16(&map, im.dst.data(), static_cast<int32_t>(im.dst.size()),
                                       im.src.data(), kWidth, kHeight, 0);
        },
        [&] {
            cv::remap(im.cv_src, im.cv_dst, map_x, map_y, cv::INTER_NEAREST, cv::BORDER_CONSTANT,
                      0);
        });
    lx_calib_len_uninit_map(&map);
}
BENCHMARK(BM_Remap)->Name("versus/calib_len_undistort_u16:remap_nearest");

}  // namespace

#endif  // LUMOX_BENCH_OPENCV
