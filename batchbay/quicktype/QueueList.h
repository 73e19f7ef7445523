#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace quicktype {

// The queue information answer: how busy the cluster and each partition are. Every number is a
// double and is written as a JSON floating-point number (4.0); keys come out in ascending order.

// Nodes and CPUs of the nodes in one Slurm node state.
struct NodeStateCount
{
    double cpus = 0; // total CPUs of those nodes
    double nodes = 0; // how many nodes
};

// The whole cluster.
struct ClusterInfo
{
    double allocated = 0; // allocated CPUs
    double cpus_total = 0; // CPUs
    double idle = 0; // unallocated CPUs on nodes in no unavailable state
    double nodes = 0; // nodes
    double other = 0; // unallocated CPUs on nodes in an unavailable state
    std::map<std::string, NodeStateCount> states; // per Slurm node state name
};

// One partition: the same sums over the partition's nodes.
struct QueueInfo : ClusterInfo
{
    std::string partition;
};

// {"cluster": ..., "queues": [...]}, the queues in ascending byte order of their names.
struct QueueList
{
    ClusterInfo cluster;
    std::vector<QueueInfo> queues;
};

void to_json(nlohmann::json &j, const NodeStateCount &count);
void to_json(nlohmann::json &j, const ClusterInfo &info);
void to_json(nlohmann::json &j, const QueueInfo &info);
void to_json(nlohmann::json &j, const QueueList &list);

} // namespace quicktype
