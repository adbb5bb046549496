/*
 * liblumox: cameras arriving and leaving (hot-plug).
 *
 * An application registers for the cameras of this product (USB 111b:1238) that are plugged in
 * and pulled out while it runs, either with a callback or with a queue that it polls. Each event
 * names one camera: its bus, port and address, and its serial (the identity text that
 * lumox_dev_open_serial takes).
 *
 * Threads: the library watches the bus on two threads of its own while at least one registration
 * exists. The USB stack's notification only queues the change; the library's hot-plug thread
 * then does any I/O (reading an arriving camera's serial) and calls the callbacks, one event at a
 * time, in the order the changes happened. A callback runs on that thread and may call any
 * library function, lumox_hotplug_register and lumox_hotplug_deregister (also of its own
 * registration) included, and may open the camera that arrived; it should return promptly, since
 * later events wait for it. A callback never runs for a registration after lumox_hotplug_deregister
 * of it returned (called on another thread, deregistration waits for a running callback of it).
 *
 * Identity on arrival: the hot-plug thread opens an arriving camera at the transport level for a
 * moment (no driver, no calibration) to read its serial. When the camera cannot be read (another
 * process opened it first, no permission) the event carries an empty serial; the camera's serial
 * can then be asked later with lumox_dev_read_serial on a record holding the event's location.
 * A departure carries the serial its camera arrived with (empty when it was not known).
 *
 * Platforms without hot-plug support in the USB stack: registration fails with
 * LUMOX_HOTPLUG_UNSUPPORTED; nothing is emulated by polling the bus.
 */
#ifndef LUMOX_HOTPLUG_H
#define LUMOX_HOTPLUG_H

#include <stdint.h>

#include "lumox/device.h"
#include "lumox/export.h"

LUMOX_BEGIN_DECLS

enum lumox_hotplug_kind {
    LUMOX_HOTPLUG_ARRIVED = 1, /* a camera was plugged in (or was there at registration) */
    LUMOX_HOTPLUG_LEFT = 2     /* a camera was pulled out */
};

/* Results of lumox_hotplug_register besides a handle. */
#define LUMOX_HOTPLUG_BAD_CALL (-1)    /* bad arguments, or the bus cannot be watched */
#define LUMOX_HOTPLUG_UNSUPPORTED (-2) /* the platform's USB stack reports no hot-plug support */

/* Flags of lumox_hotplug_register. */
#define LUMOX_HOTPLUG_ENUMERATE 1u /* first report the cameras attached now as arrivals */

/* One camera arriving or leaving (36 bytes). */
typedef struct lumox_hotplug_event {
    int32_t kind; /* lumox_hotplug_kind */
    uint8_t bus;
    uint8_t port;
    uint8_t addr;  /* device address: a camera plugged in again gets a new one */
    uint8_t speed; /* libusb speed code, as in the device record */
    char serial[LUMOX_SERIAL_MAX + 1]; /* terminated; empty when not known (see above) */
    uint8_t reserved;
    uint32_t lost;     /* queue only: events dropped before this one because the queue was full */
    uint32_t sequence; /* 1, 2, ... per registration: a gap means events were lost */
} lumox_hotplug_event;

/* Called on the library's hot-plug thread, once per event; event is valid during the call. */
typedef void (*lumox_hotplug_cb)(const lumox_hotplug_event *event, void *user);

/* Most events a polling registration keeps; later ones are dropped and counted in the next
 * event's lost field. */
#define LUMOX_HOTPLUG_QUEUE_MAX 256

/* Registers for arrivals and departures: with cb, calls it on the hot-plug thread; with cb NULL,
 * queues the events for lumox_hotplug_poll. flags: 0 or LUMOX_HOTPLUG_ENUMERATE. Returns a
 * handle (> 0), LUMOX_HOTPLUG_UNSUPPORTED or LUMOX_HOTPLUG_BAD_CALL. lumox_uninit ends every
 * registration. */
LUMOX_API int32_t lumox_hotplug_register(lumox_hotplug_cb cb, void *user,
                                         uint32_t flags) LUMOX_NOEXCEPT;

/* Ends a registration: no callback of it runs after this returns (from the registration's own
 * callback it takes effect when the callback returns), and a lumox_hotplug_poll waiting on it
 * returns -1. True when the handle was registered. */
LUMOX_API uint8_t lumox_hotplug_deregister(int32_t handle) LUMOX_NOEXCEPT;

/* Takes up to max queued events of a polling registration, oldest first, waiting up to
 * timeout_ms (0: not at all) for the first. Returns how many, or -1 for a handle that is not a
 * polling registration (or ends while waiting) and bad arguments. Any thread; one at a time per
 * handle. */
LUMOX_API int32_t lumox_hotplug_poll(int32_t handle, lumox_hotplug_event *events, uint32_t max,
                                     uint32_t timeout_ms) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_HOTPLUG_H */
