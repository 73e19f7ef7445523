#include "quicktype/QueueList.h"

namespace quicktype {

namespace {

nlohmann::json statesToJson(const std::map<std::string, NodeStateCount> &states)
{
    // An empty map must still be written as {}, not null.
    nlohmann::json j = nlohmann::json::object();
    for (const auto &[name, count] : states)
        j[name] = count;
    return j;
}

} // namespace

void to_json(nlohmann::json &j, const NodeStateCount &count)
{
    j = nlohmann::json::object();
    j["cpus"] = count.cpus;
    j["nodes"] = count.nodes;
}

void to_json(nlohmann::json &j, const ClusterInfo &info)
{
    j = nlohmann::json::object();
    j["allocated"] = info.allocated;
    j["cpus_total"] = info.cpus_total;
    j["idle"] = info.idle;
    j["nodes"] = info.nodes;
    j["other"] = info.other;
    j["states"] = statesToJson(info.states);
}

void to_json(nlohmann::json &j, const QueueInfo &info)
{
    to_json(j, static_cast<const ClusterInfo &>(info));
    j["partition"] = info.partition;
}

void to_json(nlohmann::json &j, const QueueList &list)
{
    j = nlohmann::json::object();
    j["cluster"] = list.cluster;
    j["queues"] = nlohmann::json::array();
    for (const QueueInfo &queue : list.queues)
        j["queues"].push_back(queue);
}

} // namespace quicktype
