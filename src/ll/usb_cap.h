// USB transport, capture: 16 bulk reads kept outstanding on endpoint 0x81 while a capture runs,
// each completion handed to the capture callback and resubmitted with the same buffer.
//
// Start and stop run on an application thread; completions and the capture callback run on the
// device's event thread. The callback may call usb_ll_cap_abort but must not issue commands: a
// command completes on the event thread, which the callback occupies.
#pragma once

#include <cstdint>

#include "lumox/transport.h"

namespace lumox::ll {

// Arms the 16 transfers and sends the start command with arg. False (and the armed transfers
// cancelled) when the camera refuses.
uint8_t usb_ll_cap_start(lumox_ll_dev *dev, uint32_t arg, lumox_ll_cap_cb cb, void *user);
// Cancels the transfers and sends the stop command. Each cancelled transfer reports -3 once.
uint8_t usb_ll_cap_stop(lumox_ll_dev *dev);
// Leaves every transfer idle as it completes; meant for the capture callback.
void usb_ll_cap_abort(lumox_ll_dev *dev);

}  // namespace lumox::ll
