#include "vcam/truth_writer.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace lumox::vcam {

namespace {

bool write_pgm(const std::string &path, uint32_t w, uint32_t h, bool wide,
               const std::vector<uint16_t> &v) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fprintf(f, "P5\n%u %u\n%u\n", w, h, wide ? 65535u : 255u);
    std::vector<uint8_t> bytes;
    bytes.reserve(v.size() * 2);
    for (uint16_t x : v) {
        if (wide) bytes.push_back(static_cast<uint8_t>(x >> 8));
        bytes.push_back(static_cast<uint8_t>(x));
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

uint16_t to_u16(float v) { return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L)); }

}  // namespace

TruthWriter::TruthWriter(std::shared_ptr<SensorModel> model, std::string dir)
    : model_(std::move(model)), dir_(std::move(dir)) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    csv_ = std::fopen((dir_ + "/truth.csv").c_str(), "w");
    if (!csv_) throw std::runtime_error("cannot write " + dir_ + "/truth.csv");
    std::fprintf(csv_,
                 "number,frame_index,width,height,modulation_khz,integration_us,temp_sensor_c,"
                 "temp_board_c\n");
    std::fflush(csv_);
}

TruthWriter::~TruthWriter() {
    if (csv_) std::fclose(csv_);
}

void TruthWriter::render(const Exposure &e, std::span<uint8_t> frame) {
    model_->render(e, frame);
    const Truth t = model_->truth();
    const size_t n = t.distance_mm.size();
    std::vector<uint16_t> distance(n), amplitude(n), mixed(n), multipath(n);
    for (size_t i = 0; i < n; ++i) {
        multipath[i] = to_u16(t.multipath[i] * 10000.0f);
        distance[i] = to_u16(t.distance_mm[i]);
        amplitude[i] = to_u16(t.amplitude[i]);
        mixed[i] = t.mixed[i] ? 255 : 0;
    }
    char base[32];
    std::snprintf(base, sizeof base, "/%06llu_", static_cast<unsigned long long>(next_));
    const std::string prefix = dir_ + base;
    const bool ok = write_pgm(prefix + "distance.pgm", t.width, t.height, true, distance) &&
                    write_pgm(prefix + "amplitude.pgm", t.width, t.height, true, amplitude) &&
                    write_pgm(prefix + "mixed.pgm", t.width, t.height, false, mixed) &&
                    write_pgm(prefix + "multipath.pgm", t.width, t.height, true, multipath);
    if (!ok)
        std::fprintf(stderr, "lumox-vcam: cannot write the truth of frame %s\n", prefix.c_str());
    std::fprintf(csv_, "%llu,%u,%u,%u,%u,%u,%.1f,%.1f\n", static_cast<unsigned long long>(next_),
                 e.frame_index, t.width, t.height, e.modulation_khz, e.integration_us,
                 e.temp_sensor / 10.0, e.temp_board / 10.0);
    std::fflush(csv_);
    ++next_;
}

}  // namespace lumox::vcam
