/*
 * liblumox: the transport layer between the device API and the camera (USB).
 */
#ifndef LUMOX_TRANSPORT_H
#define LUMOX_TRANSPORT_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* Sets the transport's debug level (libusb's log level, 0 none .. 4 debug). */
LUMOX_API void lumox_ll_set_debug(uint32_t level);

LUMOX_END_DECLS

#endif /* LUMOX_TRANSPORT_H */
