// Distance and gray frame-file loaders on a file whose bytes come from the input: the header line,
// the sample data, a second load from where the first one stopped (which reuses the header of
// the first), and destinations of any length.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_util.h"
#include "lumox/frame_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (lumox::fuzz::route_logs_to_null(), true);
    (void)quiet;
    FuzzedDataProvider in(data, size);
    const bool gray = in.ConsumeBool();
    const int dst_len = in.ConsumeIntegralInRange<int>(-2, 600);
    const bool null_dst = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const std::vector<uint8_t> file = in.ConsumeRemainingBytes<uint8_t>();

    const int fd = memfd_create("lumox-frame", 0);
    if (fd < 0) return 0;
    if (!file.empty() && write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        close(fd);
        return 0;
    }
    lseek(fd, 0, SEEK_SET);
    // The destination is exactly dst_len floats, so that a write past it is caught.
    std::vector<float> dst(dst_len > 0 ? static_cast<size_t>(dst_len) : 0);
    float *out = null_dst || dst.empty() ? nullptr : dst.data();
    for (int pass = 0; pass < 2; ++pass) {
        int w = -1;
        int h = -1;
        const int got = gray ? lumox_frame_load_gray(fd, out, dst_len, &w, &h)
                             : lumox_frame_load_distance(fd, out, dst_len, &w, &h);
        if (got < 0 || got > (dst_len > 0 ? dst_len : 0)) __builtin_trap();
        if (got > 0 && (w <= 0 || h <= 0 || static_cast<int64_t>(w) * h < got)) __builtin_trap();
    }
    close(fd);
    return 0;
}
