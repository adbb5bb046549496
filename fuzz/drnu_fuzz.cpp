// DRNU calibration files: the per-chip parameter file (with or without its frequency field) and
// the distance-image file, loaded into the DRNU table and the linear fit. The image size is
// chosen small by the input so that a few kilobytes hold several distance images.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "lumox/evk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace lumox;
    static const bool ready = [] {
        fuzz::route_logs_to_null();
        lumox_path_cfg(fuzz::scratch_dir().c_str());
        return true;
    }();
    (void)ready;
    FuzzedDataProvider in(data, size);
    calibrateSetWidth(in.ConsumeIntegralInRange<int>(-1, 16));
    calibrateSetHeight(in.ConsumeIntegralInRange<int>(-1, 12));
    const int bank = in.ConsumeIntegralInRange<int>(-1, 2);
    const bool with_param = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    const std::vector<uint8_t> param =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
    const std::vector<uint8_t> images = in.ConsumeRemainingBytes<uint8_t>();

    char param_name[256];
    char images_name[256];
    calibrationGetParamName(param_name);
    calibrationGetDistanceImagesName(images_name);
    const std::string param_path = fuzz::scratch_dir() + param_name;
    const std::string images_path = fuzz::scratch_dir() + images_name;
    if (with_param) {
        fuzz::write_file(param_path, param.data(), param.size());
    } else {
        std::remove(param_path.c_str());
    }
    fuzz::write_file(images_path, images.data(), images.size());

    calibrationLoadDRNU_LUT();
    calibrationLoadDistanceImages(bank);
    return 0;
}
