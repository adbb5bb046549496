#include "ros2/node.h"

#include <cstdlib>

#include <dds/ddsi/ddsi_serdata.h>

#include "ros2/names.h"

namespace lumox::ros2 {

bool domain_from_environment(uint32_t *domain, std::string *error) {
    *domain = 0;
    const char *text = std::getenv("ROS_DOMAIN_ID");
    if (!text || !*text) return true;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    // 232 is the largest domain whose ports the standard port mapping can hold.
    if (*end || v < 0 || v > 232) {
        *error = std::string("ROS_DOMAIN_ID must be 0-232, not '") + text + "'";
        return false;
    }
    *domain = static_cast<uint32_t>(v);
    return true;
}

TopicQos default_qos() { return {}; }

TopicQos sensor_data_qos() {
    TopicQos q;
    q.reliable = false;
    return q;
}

TopicQos static_transform_qos() {
    TopicQos q;
    q.transient_local = true;
    q.depth = 1;
    return q;
}

dds_qos_t *make_qos(const TopicQos &q) {
    dds_qos_t *qos = dds_create_qos();
    dds_qset_reliability(qos, q.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                         q.max_blocking_ns);
    dds_qset_durability(
        qos, q.transient_local ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, q.depth);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
    return qos;
}

std::unique_ptr<Node> Node::create(uint32_t domain, std::string *error) {
    const dds_entity_t p = dds_create_participant(domain, nullptr, nullptr);
    if (p < 0) {
        *error = std::string("cannot join DDS domain ") + std::to_string(domain) + ": " +
                 dds_strretcode(p);
        return nullptr;
    }
    return std::unique_ptr<Node>(new Node(p));
}

Node::~Node() { dds_delete(participant_); }

namespace {

// The topic of a ROS name and its writer or reader, made with one QoS. The topic is deleted
// again when the endpoint cannot be made; *error then names the topic and the cause.
template <typename Make>
bool make_endpoint(const Node &node, const std::string &ros_topic,
                   const dds_topic_descriptor_t *type, const TopicQos &q, const char *verb,
                   Make make, dds_entity_t *topic, dds_entity_t *endpoint, std::string *error) {
    dds_qos_t *qos = make_qos(q);
    const std::string name = dds_topic(ros_topic);
    *topic = dds_create_topic(node.participant(), type, name.c_str(), qos, nullptr);
    *endpoint = *topic >= 0 ? make(node.participant(), *topic, qos, nullptr) : *topic;
    dds_delete_qos(qos);
    if (*endpoint >= 0) return true;
    *error = std::string(verb) + ros_topic + ": " + dds_strretcode(*endpoint);
    if (*topic >= 0) dds_delete(*topic);
    return false;
}

}  // namespace

std::unique_ptr<Writer> Writer::create(const Node &node, const std::string &ros_topic,
                                       const dds_topic_descriptor_t *type, const TopicQos &q,
                                       std::string *error) {
    dds_entity_t topic, writer;
    if (!make_endpoint(node, ros_topic, type, q, "cannot publish ", dds_create_writer, &topic,
                       &writer, error))
        return nullptr;
    return std::unique_ptr<Writer>(new Writer(topic, writer));
}

Writer::~Writer() {
    dds_delete(writer_);
    dds_delete(topic_);
}

bool Writer::write(const void *sample) { return dds_write(writer_, sample) == DDS_RETCODE_OK; }

uint32_t Writer::matched() const {
    dds_publication_matched_status_t s{};
    if (dds_get_publication_matched_status(writer_, &s) != DDS_RETCODE_OK) return 0;
    return s.current_count;
}

std::unique_ptr<Reader> Reader::create(const Node &node, const std::string &ros_topic,
                                       const dds_topic_descriptor_t *type, const TopicQos &q,
                                       std::string *error) {
    dds_entity_t topic, reader;
    if (!make_endpoint(node, ros_topic, type, q, "cannot subscribe to ", dds_create_reader, &topic,
                       &reader, error))
        return nullptr;
    return std::unique_ptr<Reader>(new Reader(topic, reader, type));
}

Reader::~Reader() {
    dds_delete(reader_);
    dds_delete(topic_);
}

size_t Reader::take(const Visit &visit) {
    size_t taken = 0;
    std::vector<uint8_t> cdr;
    for (;;) {
        ddsi_serdata *data = nullptr;
        dds_sample_info_t info{};
        if (dds_takecdr(reader_, &data, 1, &info, DDS_ANY_STATE) != 1) break;
        if (info.valid_data) {
            cdr.resize(ddsi_serdata_size(data));
            ddsi_serdata_to_ser(data, 0, cdr.size(), cdr.data());
            void *sample = dds_alloc(type_->m_size);
            if (ddsi_serdata_to_sample(data, sample, nullptr, nullptr)) {
                visit(cdr, sample);
                ++taken;
            }
            dds_sample_free(sample, type_, DDS_FREE_ALL);
        }
        ddsi_serdata_unref(data);
    }
    return taken;
}

uint32_t Reader::matched() const {
    dds_subscription_matched_status_t s{};
    if (dds_get_subscription_matched_status(reader_, &s) != DDS_RETCODE_OK) return 0;
    return s.current_count;
}

}  // namespace lumox::ros2
