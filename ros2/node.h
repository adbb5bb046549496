// The DDS side of a ROS 2 node: one participant on a domain and writers on ROS topics with
// ROS 2's QoS profiles. Owners of Cyclone DDS entities; a writer must go before its node.
//
// Threads: a writer is used by one thread at a time. write() may block a reliable writer for up
// to its max_blocking_time while readers lag: call it from a thread that nothing waits on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dds/dds.h>

namespace lumox::ros2 {

// The domain: ROS_DOMAIN_ID when set (0-232), else 0. False with *error for a bad value.
bool domain_from_environment(uint32_t *domain, std::string *error);

struct TopicQos {
    bool reliable = true;  // RELIABLE, else BEST_EFFORT
    bool transient_local =
        false;          // TRANSIENT_LOCAL (late joiners get the last samples), else VOLATILE
    int32_t depth = 5;  // KEEP_LAST depth
    int64_t max_blocking_ns = 100000000;  // a reliable write waits this long for room, then fails
};
// ROS 2's profiles: the default (reliable, keep-last 5, volatile), sensor data (best effort,
// keep-last 5, volatile) and the static transforms' (reliable, keep-last 1, transient local).
TopicQos default_qos();
TopicQos sensor_data_qos();
TopicQos static_transform_qos();

class Node {
  public:
    static std::unique_ptr<Node> create(uint32_t domain, std::string *error);
    ~Node();
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    dds_entity_t participant() const { return participant_; }

  private:
    explicit Node(dds_entity_t participant) : participant_(participant) {}
    dds_entity_t participant_;
};

class Writer {
  public:
    // A writer on the ROS topic ros_topic ("/ns/depth/image_raw") of the type descriptor's type.
    static std::unique_ptr<Writer> create(const Node &node, const std::string &ros_topic,
                                          const dds_topic_descriptor_t *type, const TopicQos &qos,
                                          std::string *error);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    // Sends one sample; false when DDS refused it or a reliable write found no room in time.
    bool write(const void *sample);
    // Readers matched now.
    uint32_t matched() const;
    dds_entity_t entity() const { return writer_; }

  private:
    Writer(dds_entity_t topic, dds_entity_t writer) : topic_(topic), writer_(writer) {}
    dds_entity_t topic_;
    dds_entity_t writer_;
};

// A reader on a ROS topic: what a subscriber (the tests, the benchmark) takes off the wire.
class Reader {
  public:
    static std::unique_ptr<Reader> create(const Node &node, const std::string &ros_topic,
                                          const dds_topic_descriptor_t *type, const TopicQos &qos,
                                          std::string *error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    // Called per sample taken: its bytes as they crossed the wire (the 4-byte encapsulation
    // header first) and the sample DDS decoded from them (valid during the call).
    using Visit = std::function<void(const std::vector<uint8_t> &cdr, const void *sample)>;
    // Takes every sample waiting; returns how many.
    size_t take(const Visit &visit);
    // Writers matched now.
    uint32_t matched() const;
    dds_entity_t entity() const { return reader_; }

  private:
    Reader(dds_entity_t topic, dds_entity_t reader, const dds_topic_descriptor_t *type)
        : topic_(topic), reader_(reader), type_(type) {}
    dds_entity_t topic_;
    dds_entity_t reader_;
    const dds_topic_descriptor_t *type_;
};

// The QoS object of a TopicQos, with XCDR1 as the only data representation (what ROS 2 reads).
// The caller deletes it (dds_delete_qos).
dds_qos_t *make_qos(const TopicQos &qos);

}  // namespace lumox::ros2
