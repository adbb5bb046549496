// ROS 2's names as a plain DDS program must write them: valid ROS names from arbitrary text
// (a camera's serial), the DDS topic behind a ROS topic, and frame ids derived from a namespace.
#pragma once

#include <string>
#include <string_view>

namespace lumox::ros2 {

// A valid absolute ROS namespace from text: tokens of [A-Za-z0-9_] separated by single slashes,
// none starting with a digit, no trailing slash. Other characters become '_', a token starting
// with a digit gets a leading '_', empty tokens go. "" and "/" give "/".
std::string ros_namespace(std::string_view text);

// "NS/name" for a namespace as ros_namespace returns it and a relative name.
std::string ros_topic(std::string_view ns, std::string_view name);

// The DDS topic that carries a ROS topic: "rt" + the absolute ROS name ("/a/b" -> "rt/a/b").
std::string dds_topic(std::string_view ros_topic);

// A frame id from a namespace and a suffix: the namespace without its leading slash, slashes
// replaced by '_', then the suffix ("/lumox/A1", "_optical_frame" -> "lumox_A1_optical_frame").
std::string frame_id(std::string_view ns, std::string_view suffix);

}  // namespace lumox::ros2
