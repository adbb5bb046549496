// The recording reader on file images in memory: opening (the checks of links, storage, ranks,
// types and extents, and the isolated first read), then reading the frames it reports. Seeded
// with recordings the writer made.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A damaged file that hangs libhdf5 is refused after this long.
    static const bool bounded =
        (lumox::recording::set_check_time_bound(std::chrono::milliseconds(2000)), true);
    (void)bounded;
    std::string error;
    auto reader = lumox::recording::Reader::open_image(data, size, &error);
    if (!reader) return 0;
    std::vector<uint8_t> bytes;
    for (uint64_t i = 0; i < reader->frame_count() && i < 8; ++i) reader->read(i, &bytes, &error);
    return 0;
}
