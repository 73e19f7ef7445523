#pragma once

#include "quicktype/QueueList.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// Queue information: how busy the cluster is, from the state of all its nodes, summed for the
// whole cluster, for each partition and for each Slurm node state. Nothing is kept between
// calls, and every function may run on several threads at once.
//
// A node is read from these members of its JSON object:
//   "cpus"        total CPUs          (a count, see below)
//   "alloc_cpus"  allocated CPUs      (a count)
//   "state"       Slurm state names   (names, see below)
//   "partitions"  partition names     (names)
// A count is a JSON integer, a float (truncated towards zero), a boolean (0 or 1), or the
// wrapped number of newer Slurm, {"set": true, "infinite": false, "number": N}, where "set":
// false means 0. Names are an array of strings, one string, an object whose values are strings
// (taken in key order), or null (none). A node that is not an object, lacks one of the four
// members, holds a member of another type, a count outside the range of int or an infinite
// count is skipped: it adds nothing anywhere. A node with several states counts in each of
// them, and a node in several partitions counts in each of those.
class BatchbayQueueInfo
{
public:
    // Sums the nodes of Slurm's "nodes" member: an array of node objects, or an object whose
    // values are node objects (taken in key order); null or any other type means no nodes.
    // The queues come out in ascending byte order of the partition name. When skippedNodes is
    // given it receives the number of nodes that could not be read. Never throws.
    static quicktype::QueueList compute(const nlohmann::json &nodes, int *skippedNodes = nullptr);

    // True for the names of node states in which a node takes no work ("DOWN", "DRAIN", ...),
    // compared exactly: "down" is not one of them.
    static bool isUnavailableState(const std::string &state);

    // The nodes of Slurm 22.05's `sinfo --json` in the form compute() reads: a lower-case
    // "state" string such as "idle" and its "state_flags" (["DRAIN"]) become one upper-case
    // list, ["IDLE", "DRAIN"]. A node whose "state" is not a string is left as it is.
    static nlohmann::json normaliseSinfoNodes(const nlohmann::json &nodes);

    // The queue list of a whole answer of `scontrol show node --json`, or of `sinfo --json`
    // (Slurm 22.05; a newer sinfo answer has no "nodes" member and is refused). Output that
    // is not JSON, a document without a "nodes" member, a "nodes" member that is neither array,
    // object nor null, and a non-empty top-level "errors" array (how Slurm reports a
    // controller it cannot reach) give nullopt with the reason in *error.
    static std::optional<quicktype::QueueList> fromScontrolOutput(const QByteArray &output,
                                                                  QString *error = nullptr);
    static std::optional<quicktype::QueueList> fromSinfoOutput(const QByteArray &output,
                                                               QString *error = nullptr);

    // Asks Slurm for its nodes and sums them. Runs `scontrol show node --json` from the PATH;
    // when scontrol cannot be started, exits with an error (Slurm 22.05 does not know --json)
    // or prints no JSON document with a "nodes" member, runs `sinfo --json` instead. A command
    // that does not finish within its limits (5 s to start, 5 s to finish) is not retried with
    // the other one, so the call blocks the calling thread for about 10 s at most. Returns
    // nullopt with the reason in *error, and logs it, when neither answer can be used.
    static std::optional<quicktype::QueueList> fetch(QString *error = nullptr);
    // The same Slurm answer as fetch() reads, as its "nodes" member in scontrol's form.
    static std::optional<nlohmann::json> fetchNodes(QString *error = nullptr);

    // One object per node for a node list: "name", "state" (names), "cpus", "alloc_cpus",
    // "memory_mb", "alloc_memory_mb", "free_memory_mb" (counts as above, null when missing or
    // unreadable), "partitions" (names; [] when unreadable) and "reason" (text, may be
    // empty). Entries that are not objects are left out. Never throws.
    static nlohmann::json describeNodes(const nlohmann::json &nodes);
};
