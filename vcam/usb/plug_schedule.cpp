#include "vcam/usb/plug_schedule.h"

#include <algorithm>

namespace lumox::vcam {

PlugSchedule::PlugSchedule(VirtualBus &bus, std::vector<PlugStep> steps)
    : bus_(bus), steps_(std::move(steps)) {
    std::stable_sort(steps_.begin(), steps_.end(),
                     [](const PlugStep &a, const PlugStep &b) { return a.at < b.at; });
    if (!steps_.empty()) thread_ = std::thread([this] { run(); });
}

PlugSchedule::~PlugSchedule() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PlugSchedule::run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    for (const PlugStep &step : steps_) {
        if (cv_.wait_until(lock, start + step.at, [this] { return stop_; })) return;
        for (size_t k = 0; k < bus_.size(); ++k) {
            if (step.camera != PlugStep::kEveryCamera && static_cast<size_t>(step.camera) != k)
                continue;
            if (step.plug_in)
                bus_.replug(k);
            else
                bus_.unplug(k);
        }
    }
}

}  // namespace lumox::vcam
