// Pulling virtual cameras off the bus and plugging them back in at set times after a start, on
// a thread of its own (lumox-vcam --unplug-at / --replug-at).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "vcam/usb/bus.h"

namespace lumox::vcam {

// At `at` after the start, camera `camera` (every camera: kEveryCamera) is pulled out or plugged
// back in.
struct PlugStep {
    static constexpr int kEveryCamera = -1;
    std::chrono::milliseconds at{0};
    int camera = kEveryCamera;
    bool plug_in = false;
};

class PlugSchedule {
  public:
    // Starts counting now; the steps run in time order. The bus must outlive the schedule.
    PlugSchedule(VirtualBus &bus, std::vector<PlugStep> steps);
    // Drops the steps not yet due.
    ~PlugSchedule();
    PlugSchedule(const PlugSchedule &) = delete;
    PlugSchedule &operator=(const PlugSchedule &) = delete;

  private:
    void run();

    VirtualBus &bus_;
    std::vector<PlugStep> steps_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace lumox::vcam
