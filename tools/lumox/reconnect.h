// Keeping a camera across an unplug: the streaming commands (record, view) watch the bus for
// their camera, and when its capture fails they wait for the camera with the same serial to come
// back, reopen it into the same record and go on (--reconnect-timeout S bounds the wait).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "args.h"
#include "lumox/lumox.h"

namespace lumox_cli {

class Reconnector {
  public:
    // --reconnect-timeout S (0-86400, default 0: a failed capture ends the command as before).
    explicit Reconnector(const Args &args);
    ~Reconnector();
    Reconnector(const Reconnector &) = delete;
    Reconnector &operator=(const Reconnector &) = delete;

    // Starts watching the bus for the camera open in dev (its serial). Prints why and disables
    // reconnecting when the system cannot report cameras coming and going.
    void watch(const lumox_dev_t *dev);
    bool enabled() const { return handle_ > 0 && timeout_.count() > 0; }
    const std::string &serial() const { return serial_; }
    long long timeout_seconds() const { return static_cast<long long>(timeout_.count() / 1000); }

    // Called (on the thread that runs reconnect) when the bus reports that the camera left.
    void on_departure(std::function<void()> hook) { on_departure_ = std::move(hook); }

    // After dev's capture failed: closes dev, waits (at most the timeout; stop() is asked every
    // 100 ms and ends the wait) for the camera to be back, and reopens it into dev. Reports the
    // departure and the return on standard error. Calls on dev hold dev_mutex when one is given.
    // True when dev is open again; the gap lasted gap_seconds(). False when the wait timed out
    // or stop() ended it (the message says which).
    bool reconnect(lumox_dev_t *dev, const std::function<bool()> &stop,
                   std::mutex *dev_mutex = nullptr);
    double gap_seconds() const { return gap_s_; }

  private:
    // Says once per wait that the camera left (standard error and the departure hook).
    void report_departure();

    std::chrono::milliseconds timeout_{0};
    int32_t handle_ = 0;
    std::string serial_;
    // Where the camera was: a departure whose serial the library could not read (the camera was
    // open here already when the watch began) is recognised by it.
    uint8_t bus_ = 0;
    uint8_t port_ = 0;
    uint8_t addr_ = 0;
    bool departure_reported_ = false;
    double gap_s_ = 0;
    std::function<void()> on_departure_;
};

}  // namespace lumox_cli
