// EPC frame description and decode: frame header to frame information on the capture path, and
// raw four-DCS frames to distance or gray images on the converting thread.
#pragma once

#include <cstdint>

#include "drivers/epc.h"

// Frame formats of the EPC camera.
constexpr uint16_t kEpcFormatRaw = 2;            // four DCS planes
constexpr uint16_t kEpcFormatCalibration = 171;  // the calibration package

// Decode modes.
constexpr uint32_t kEpcModeDistance = 1;
constexpr uint32_t kEpcModeGray = 2;
// The gray image in the first half of dst and the distances in the second, from one decode:
// what modes 2 and 1 give for the frame.
constexpr uint32_t kEpcModeDistanceGray = 3;

// The driver's frame_get_info slot: records the header temperatures, runs the temperature
// monitor and fills info (width and height 0 mean 320 x 240). 0 (info zeroed) when the frame
// length is not a multiple of the frame area.
uint8_t epc_frame_get_info(lumox_drv *drv, lumox_frame_info *info, const lx_raw_frame_info *hdr);

// The driver's frame_decode slot: decodes a format-2 frame into dst (dst_size bytes) as distances
// in millimetres (mode 1) or amplitudes (mode 2), in image row order, with the enabled features
// applied, or both (mode 3). Returns the bytes written (2 x width x height per image) or -1.
int32_t epc_frame_decode(lumox_drv *drv, uint16_t *dst, uint32_t dst_size, uint32_t mode,
                         const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info);

namespace lumox::drivers {

// Merges the row pairs of an HDR frame (rows alternate between two integration times): both rows
// of a pair take the distance and amplitude of the row with the larger amplitude (signed).
void hdr_merge(uint16_t *dist, uint16_t *amp, uint32_t w, uint32_t h);

// The depth filter chain on the distance image in a (n = w x h values, w and h above 1), using
// dst as the second buffer, ending with the range check. Returns the buffer holding the result.
uint16_t *depth_filter_chain(const epc_ctx &ctx, uint16_t *dst, uint16_t *a, uint32_t w,
                             uint32_t h);

}  // namespace lumox::drivers
