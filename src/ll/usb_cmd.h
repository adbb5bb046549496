// USB transport, command channel: control transfers on endpoint 0 with a status request after
// each command, and the register and parameter batches built from them.
//
// Commands are submitted on the caller's thread and completed on the device's event thread; the
// caller waits for the completion (cancelling after about 1 s, abandoning after about 2 s).
//
// The camera's status record describes only its last command, so a command and its status check
// must not be split by another thread's command: each USB slot that issues commands holds the
// device's command lock (usb_ll_dev_priv::cmd_lock) across all of its commands and their status
// checks. A caller that composes exe_cmd and check_last_cmd through the table itself must not
// let another thread issue commands between them.
#pragma once

#include <cstdint>
#include <mutex>

#include "ll/usb_dev.h"
#include "lumox/transport.h"

namespace lumox::ll {

inline constexpr uint8_t kCmdStatus = 0xB0;
inline constexpr uint8_t kCmdDevice = 0xC0;
inline constexpr uint8_t kCmdRegister = 0xC2;
// Values of the device commands (type kCmdDevice).
inline constexpr uint8_t kDeviceReset = 0;     // payload: the reset target and three zero bytes
inline constexpr uint8_t kDeviceParamSet = 3;  // payload: parameter records to store
inline constexpr uint8_t kDeviceParamGet = 4;  // write the records' identifiers, read them back
// Values of the register commands (type kCmdRegister), capture start and stop among them.
inline constexpr uint8_t kRegisterWrite = 0;  // payload: register header and the values
inline constexpr uint8_t kRegisterRead = 1;   // write the header, then read the values
inline constexpr uint8_t kCapStartValue = 4;  // payload: the start argument
inline constexpr uint8_t kCapStopValue = 5;   // payload: one byte (the register type)
// Directions of a command's data stage.
inline constexpr uint8_t kToCamera = 1;
inline constexpr uint8_t kFromCamera = 0;
inline constexpr uint32_t kStatusRecordSize = 63;
inline constexpr uint32_t kParamRecordSize = 20;
inline constexpr uint32_t kCmdTimeoutMs = 1000;

// Holds an open device's command lock for a scope: a sequence of commands and status checks that
// no other thread's command may fall between. Holds nothing for a device that is not open (its
// commands then fail on their own).
class CommandBatch {
  public:
    explicit CommandBatch(lumox_ll_dev *dev) {
        if (usb_ll_dev_priv *priv = usb_priv(dev)) lock_ = std::unique_lock(priv->cmd_lock);
    }

  private:
    std::unique_lock<std::recursive_mutex> lock_;
};

// One command: dir 1 writes len bytes of buf to the camera, 0 reads up to len bytes into buf.
// True when exactly len bytes moved; a short read still leaves the bytes that arrived in buf.
uint8_t usb_ll_exe_cmd(lumox_ll_dev *dev, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                       uint32_t len, uint32_t timeout_ms);
// True when the camera reports that its last command was (type, value) and finished without
// error. While the camera reports that command as busy the status is requested again.
uint8_t usb_ll_check_last_cmd(lumox_ll_dev *dev, uint8_t type, uint8_t value);
uint8_t usb_ll_reg_write(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base,
                         const uint32_t *values, uint16_t count);
uint8_t usb_ll_reg_read(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                        uint16_t count);
// records: count records of 20 bytes in their wire form.
uint8_t usb_ll_param_set(lumox_ll_dev *dev, void *records, uint32_t count);
uint8_t usb_ll_param_get(lumox_ll_dev *dev, void *records, uint32_t count);

}  // namespace lumox::ll
