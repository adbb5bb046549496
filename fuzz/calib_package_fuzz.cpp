// The camera's calibration package as the download writes it: the 17-byte header, the zip
// archive it announces, the entries extracted into the path prefix, and the per-chip file split
// into the parameter and distance-image files. A second mode splits an arbitrary per-chip file.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/epc_calib.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace lumox;
    static const bool ready = (fuzz::route_logs_to_null(), true);
    (void)ready;
    const std::string dir = fuzz::scratch_dir();
    FuzzedDataProvider in(data, size);
    const bool split_only = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    const uint16_t chip_id = in.ConsumeIntegralInRange<uint16_t>(0, 3);
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

    drivers::CalibTargets targets{dir + "param.bin", dir + "images.bin"};
    if (split_only) {
        const std::string chip = dir + "calib_and_param_000.bin";
        fuzz::write_file(chip, bytes.data(), bytes.size());
        drivers::calib_split_chip_file(chip.c_str(), targets);
    } else {
        const std::string package = dir + "calibration.bin";
        fuzz::write_file(package, bytes.data(), bytes.size());
        drivers::calib_unpack_package(package.c_str(), dir.c_str(), chip_id, targets);
    }
    fuzz::clear_dir(dir);
    return 0;
}
