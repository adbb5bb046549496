// Writes the ground truth of every frame a sensor model renders beside the stream, for tests and
// benchmarks that run the camera in another process (lumox-vcam --truth DIR). Per frame, numbered
// from 0 in the order rendered, in image row order at the read-out window (before binning):
//   NNNNNN_distance.pgm   16-bit PGM, true radial distance in mm (0: nothing there)
//   NNNNNN_amplitude.pgm  16-bit PGM, amplitude without noise
//   NNNNNN_mixed.pgm      8-bit PGM, 255 where the pixel straddles surfaces (a mixed pixel)
//   NNNNNN_multipath.pgm  16-bit PGM, the second bounce's amplitude over the direct return's,
//                         in units of 1/10000
// and one line of truth.csv: number, frame index, size, modulation frequency, integration time,
// temperatures.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "vcam/depth_sensor.h"

namespace lumox::vcam {

class TruthWriter : public LiveSource {
  public:
    // Fails (throws std::runtime_error) when `dir` cannot be created or written.
    TruthWriter(std::shared_ptr<SensorModel> model, std::string dir);
    ~TruthWriter() override;
    TruthWriter(const TruthWriter &) = delete;
    TruthWriter &operator=(const TruthWriter &) = delete;

    void render(const Exposure &exposure, std::span<uint8_t> frame) override;

  private:
    std::shared_ptr<SensorModel> model_;
    std::string dir_;
    FILE *csv_ = nullptr;
    uint64_t next_ = 0;
};

}  // namespace lumox::vcam
