/*
 * liblumox: host library for USB time-of-flight depth cameras.
 *
 * This umbrella header brings in the whole public C interface. See export.h for the conventions
 * that every header follows.
 */
#ifndef LUMOX_LUMOX_H
#define LUMOX_LUMOX_H

#include "lumox/export.h"
#include "lumox/log.h"
#include "lumox/transport.h"
#include "lumox/device.h"
#include "lumox/driver.h"
#include "lumox/stream.h"
#include "lumox/frame_file.h"
#include "lumox/firmware.h"
#include "lumox/image.h"
#include "lumox/vecmat.h"
#include "lumox/evk.h"
#include "lumox/epc.h"
#include "lumox/frame.h"
#include "lumox/hotplug.h"

#endif /* LUMOX_LUMOX_H */
