// The library, started for a command that talks to a camera and ended with it.
#pragma once

#include <optional>
#include <string>

#include "args.h"
#include "lumox/lumox.h"

namespace lumox_cli {

class Session {
  public:
    // Reads --device, --serial and --log (a bad --device or --serial is a usage error, raised
    // before the library starts). The library logs to the --log file, or to no file at all.
    explicit Session(const Args &args);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Opens the camera named by --device or --serial, or the first one. Prints why when it
    // cannot.
    lumox_dev_t *open();

    // Unless a calibration directory was given (set as the library's prefix before), makes the
    // camera's own directory in the user's cache the calibration directory (calib/ when there is
    // none): open() does it, and a command that looks into the directory before opening calls it
    // first.
    void use_cached_calibration();

    // Closes the camera opened by open(), so that a probe may open it at the transport level.
    void close();

    // The camera --device names (nothing for the first one), and after open() the location of
    // the camera opened.
    const std::optional<DeviceLocation> &location() const { return location_; }

    // The library's account of the failure of the last call on this thread (its last error
    // text, see library_account), with where its log is; or where to read the account when the
    // library gave no text: "see the library log FILE", or how to get one.
    std::string failure_hint() const;

  private:
    std::string log_;
    std::optional<DeviceLocation> location_;
    std::string serial_;  // --serial, or empty
    lumox_dev_t record_{};
    lumox_dev_t *dev_ = nullptr;
    bool calibration_chosen_ = false;
    std::string made_calibration_dir_;  // created by use_cached_calibration, removed when empty
};

// "the library: TEXT" with the library's last error text on this thread (since
// lumox_clear_last_error), or "" when it gave none.
std::string library_account();

// A fixed-size text field of the device record, which is not terminated when full.
std::string record_field(const char *text, size_t size);

}  // namespace lumox_cli
