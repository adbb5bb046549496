#include "support/vcam_fixture.h"

#include <cstdio>
#include <thread>

namespace lumox::test {

int vcam_main(int argc, char **argv) {
    if (!vcam::reexec_under_preload(argc, argv)) {
        std::fprintf(stderr, "cannot run under the umockdev preload library\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

void VcamTest::SetUp() { rebuild(options_); }

void VcamTest::TearDown() { bus_.reset(); }

void VcamTest::rebuild(const vcam::BusOptions &options) {
    bus_.reset();
    bus_ = std::make_unique<vcam::VirtualBus>(options);
}

bool VcamTest::wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace lumox::test
