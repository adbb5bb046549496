// Frame stream parser: cuts the camera's segmented byte stream into frames.
//
// The transport's event thread feeds the bytes of every completed bulk transfer, in order, with
// lx_stream_feed_input. The parser finds and verifies each stream header (lumox/stream.h), checks
// the segment order, copies the data into per-frame buffers, verifies the optional data checksum
// and moves complete frames to a bounded ready list (the oldest are dropped when it holds more
// than the capacity). Application threads take or peek ready frames with lx_stream_fetch_frames
// and read the counters with lx_stream_get_state.
//
// Threads: exactly one thread feeds; any number fetch and read the state concurrently with it.
// lx_stream_reset, lx_stream_set_cfg and lx_stream_destroy are called only while nobody feeds
// or fetches (no capture running).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumox/log.h"
#include "lumox/stream.h"

struct lx_stream;

// Configuration of a stream.
struct lx_stream_cfg {
    uint32_t capacity;  // number of ready frames kept
};

// Counters of a stream, copied out under its lock (ten 32-bit words).
struct lx_stream_state {
    uint32_t frames_received;    // frames filled completely
    uint32_t frames_queued;      // frames moved into the ready list
    uint32_t frames_discarded;   // incomplete frames thrown away (order, checksum, lost headers)
    uint32_t frames_overflowed;  // ready frames dropped because the list was over capacity
    uint32_t frames_ready;       // frames in the ready list now
    uint32_t reserved0;          // always 0
    uint32_t bytes_dropped;      // bytes skipped before headers, of discarded and dropped frames
    uint32_t reserved1;          // always 0
    lx_timeval reset_time;       // wall-clock time of the last create or reset
};

// New stream with cfg's capacity, or null when memory is short.
lx_stream *lx_stream_create(const lx_stream_cfg *cfg);

// Frees every frame and the stream. Accepts null.
void lx_stream_destroy(lx_stream *stream);

// Sets the capacity; it takes effect at the next feed.
void lx_stream_set_cfg(lx_stream *stream, const lx_stream_cfg *cfg);

void lx_stream_get_cfg(lx_stream *stream, lx_stream_cfg *cfg);

// Drops every pending and ready frame, zeroes the counters, forgets the held header and stamps
// reset_time. The capacity stays.
void lx_stream_reset(lx_stream *stream);

// Parses n more bytes of the stream. Returns true when the ready list holds at least one frame
// afterwards. Never rejects input: what cannot be used is counted and skipped.
bool lx_stream_feed_input(lx_stream *stream, const uint8_t *bytes, uint32_t n);

// Walks the first min(k, frames ready) ready frames, oldest first, and returns their number.
// The first frame's raw information goes to info (if not null); the frames' bytes are copied side
// by side to dst while dst_len lasts (a frame that does not fit is cut off). With peek the frames
// stay ready (a null dst copies nothing but still fills info); otherwise they are removed.
uint32_t lx_stream_fetch_frames(lx_stream *stream, void *dst, int32_t dst_len, uint32_t k,
                                lx_raw_frame_info *info, bool peek);

// Copies the counters.
void lx_stream_get_state(lx_stream *stream, lx_stream_state *state);
