// The evaluation kit's bad-pixel list ("XXX YYY D" lines), loaded and turned into image indices
// for a region of interest and binning that the input chooses.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "lumox/evk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace lumox;
    static const bool ready = (fuzz::route_logs_to_null(), true);
    (void)ready;
    FuzzedDataProvider in(data, size);
    const int x1 = in.ConsumeIntegralInRange<int>(-4, 340);
    const int x2 = in.ConsumeIntegralInRange<int>(-4, 340);
    const int y1 = in.ConsumeIntegralInRange<int>(-4, 260);
    const int y2 = in.ConsumeIntegralInRange<int>(-4, 260);
    const int col_reduction = in.ConsumeIntegralInRange<int>(0, 4);
    const int row_reduction = in.ConsumeIntegralInRange<int>(0, 4);
    const std::vector<uint8_t> list = in.ConsumeRemainingBytes<uint8_t>();

    const std::string path = fuzz::scratch_dir() + "image_correction.txt";
    if (!fuzz::write_file(path, list.data(), list.size())) return 0;
    readOutSetROI(x1, x2, y1, y2, configGetDeviceAddress());
    pruSetColReduction(col_reduction);
    pruSetRowReduction(row_reduction);
    if (imageCorrectionLoad(path.c_str()) >= 0) imageCorrectionTransform();
    return 0;
}
