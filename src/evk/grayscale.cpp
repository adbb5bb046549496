#include "evk/grayscale.h"

#include <cstdio>
#include <memory>
#include <string>

#include "lumox/log.h"
#include "platform/fs.h"

namespace lumox::evk {
namespace {

std::unique_ptr<GrayscaleCorrection> make_identity() {
    auto table = std::make_unique<GrayscaleCorrection>();
    table->gain.fill(1.0f);
    table->offset.fill(0.0f);
    return table;
}

std::unique_ptr<GrayscaleCorrection> &table_in_use() {
    static std::unique_ptr<GrayscaleCorrection> table = make_identity();
    return table;
}

bool blank_or_comment(const char *line) {
    while (*line == ' ' || *line == '\t') ++line;
    return *line == '\0' || *line == '\n' || *line == '\r' || *line == '#';
}

}  // namespace

const GrayscaleCorrection &grayscale_correction() { return *table_in_use(); }

}  // namespace lumox::evk

extern "C" {

LUMOX_API int calculateLoadGrayscaleGainOffset(void) noexcept {
    using namespace lumox::evk;
    char name[64];
    std::snprintf(name, sizeof name, "grayscale_gain_offset_W%03i_C%03i.txt", configGetWaferID(),
                  configGetChipID());
    std::string path = std::string(lumox_path_get()) + name;
    lumox::platform::UniqueFile file(lumox::platform::open_file(path.c_str(), "r"));
    if (!file) return -1;

    auto table = make_identity();
    int listed = 0;
    char line[256];
    while (std::fgets(line, sizeof line, file.get())) {
        if (blank_or_comment(line)) continue;
        int x = 0, y = 0;
        float gain = 0, offset = 0;
        char extra = 0;
        if (std::sscanf(line, "%d %d %f %f %c", &x, &y, &gain, &offset, &extra) != 4 || x < 0 ||
            x >= kArrayWidth || y < 0 || y >= kArrayHeight) {
            return -1;
        }
        auto index = static_cast<size_t>(y * kArrayWidth + x);
        table->gain[index] = gain;
        table->offset[index] = offset;
        ++listed;
    }
    if (listed == 0) return -1;
    table_in_use() = std::move(table);
    return 0;
}

}  // extern "C"
