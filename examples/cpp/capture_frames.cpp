// Captures frames through the frame-ready callback and prints each frame's index and the share
// of pixels with a distance. Usage: capture_frames_cpp [FRAMES]
#include <lumox/lumox.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

lumox_dev_t *g_dev = nullptr;
std::vector<float> g_metres(320 * 240);
int g_left = 0;

// Runs on the thread that calls lumox_cap_wait; the frame's bytes live until it returns.
void on_frame(lumox_dev_t *dev, lumox_frame *frame) {
    if (g_left <= 0) return;
    const int32_t n =
        lumox_frame_get_distance(dev, g_metres.data(), static_cast<uint32_t>(g_metres.size()),
                                 frame->data, frame->info.frame_size, &frame->info);
    int valid = 0;
    for (int32_t i = 0; i < n; ++i) valid += g_metres[i] < 65.3f;
    std::printf("frame %5u  %d of %d pixels with a distance\n", frame->info.frame_idx, valid, n);
    if (--g_left == 0) lumox_cap_stop(g_dev);  // ends the wait below
}

}  // namespace

int main(int argc, char **argv) {
    g_left = argc > 1 ? std::atoi(argv[1]) : 10;
    lumox_init("capture_frames_cpp.log");
    g_dev = lumox_dev_open(nullptr);
    if (!g_dev) return 1;
    lumox_cap_set_frame_buffer(g_dev, nullptr, 10 * LUMOX_FRAME_BUF_UNIT);
    lumox_cap_set_callback_on_frame_ready(g_dev, on_frame);
    const bool ok = lumox_cap_start(g_dev) && lumox_cap_wait(g_dev, 10000);
    lumox_dev_close(g_dev);
    lumox_uninit();
    return ok && g_left == 0 ? 0 : 1;
}
