// The viewer's HTTP routes (listed in view_server.h): each one a thin handler over the parts that
// hold the frames, statistics, controls and capture.
#pragma once

#include <httplib.h>

#include "view_access.h"
#include "view_connections.h"
#include "view_device.h"
#include "view_server.h"

namespace lumox_cli {

class LatestFrameSlot;
class ViewCapture;
class ViewControls;
class ViewStats;

// The parts the routes reach; they outlive the HTTP server.
struct ViewParts {
    ViewDevice &device;
    ViewControls &controls;
    ViewStats &stats;
    ViewCapture &capture;
    LatestFrameSlot &frames;
    const ViewOptions &options;
    ConnectionTracker &connections;
    RequestSlots &frame_waiters;
    RequestSlots &ray_requests;
};

void install_routes(httplib::Server &http, const ViewParts &parts);

}  // namespace lumox_cli
