// Cameras arriving and leaving: the registrations behind lumox_hotplug_register.
#pragma once

namespace lumox::api {

// Ends every registration and stops watching the bus (lumox_uninit). Application thread.
void hotplug_shutdown();

}  // namespace lumox::api
