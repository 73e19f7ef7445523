#include "BatchbayQueueInfo.h"

#include "SlurmCommand.h"
#include "log/HXBLogger.h"

#include <QElapsedTimer>
#include <QStringList>

#include <climits>
#include <cmath>
#include <map>
#include <set>
#include <vector>

using nlohmann::json;

namespace {

constexpr char sLogCategory[] = "BatchbayQueueInfo";

// A node as the computation needs it.
struct NodeReading
{
    int cpus = 0;
    int allocated = 0;
    std::vector<std::string> states;
    std::vector<std::string> partitions;
};

std::optional<int> readCount(const json &value, bool allowWrapped = true)
{
    switch (value.type()) {
    case json::value_t::number_integer: {
        const auto n = value.get<json::number_integer_t>();
        if (n < INT_MIN || n > INT_MAX)
            return std::nullopt;
        return int(n);
    }
    case json::value_t::number_unsigned: {
        const auto n = value.get<json::number_unsigned_t>();
        if (n > json::number_unsigned_t(INT_MAX))
            return std::nullopt;
        return int(n);
    }
    case json::value_t::number_float: {
        // Converting a double outside int's range is undefined, so check the truncated value.
        const double n = std::trunc(value.get<json::number_float_t>());
        if (!std::isfinite(n) || n < double(INT_MIN) || n > double(INT_MAX))
            return std::nullopt;
        return int(n);
    }
    case json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
    case json::value_t::object: {
        // Newer Slurm: {"set": true, "infinite": false, "number": N}.
        if (!allowWrapped)
            return std::nullopt;
        const auto set = value.find("set");
        if (set == value.end() || !set->is_boolean())
            return std::nullopt;
        if (!set->get<bool>())
            return 0;
        const auto infinite = value.find("infinite");
        if (infinite != value.end() && (!infinite->is_boolean() || infinite->get<bool>()))
            return std::nullopt;
        const auto number = value.find("number");
        if (number == value.end())
            return std::nullopt;
        return readCount(*number, false);
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::vector<std::string>> readNames(const json &value)
{
    std::vector<std::string> names;
    switch (value.type()) {
    case json::value_t::null:
        return names;
    case json::value_t::string:
        names.push_back(value.get<std::string>());
        return names;
    case json::value_t::array:
    case json::value_t::object:
        // Iterating an object gives its values in key order.
        for (const json &name : value) {
            if (!name.is_string())
                return std::nullopt;
            names.push_back(name.get<std::string>());
        }
        return names;
    default:
        return std::nullopt;
    }
}

std::optional<NodeReading> readNode(const json &node)
{
    if (!node.is_object())
        return std::nullopt;
    const auto cpus = node.find("cpus");
    const auto allocated = node.find("alloc_cpus");
    const auto state = node.find("state");
    const auto partitions = node.find("partitions");
    if (cpus == node.end() || allocated == node.end() || state == node.end()
        || partitions == node.end()) {
        return std::nullopt;
    }
    NodeReading reading;
    const std::optional<int> c = readCount(*cpus);
    const std::optional<int> a = readCount(*allocated);
    auto s = readNames(*state);
    auto p = readNames(*partitions);
    if (!c || !a || !s || !p)
        return std::nullopt;
    reading.cpus = *c;
    reading.allocated = *a;
    reading.states = std::move(*s);
    reading.partitions = std::move(*p);
    return reading;
}

// Adds one node to the sums of the cluster or of one partition (both have the same members).
template<typename Info> void addNode(Info &info, const NodeReading &node, bool unavailable)
{
    const double cpus = node.cpus;
    const double allocated = node.allocated;
    const double free = cpus > allocated ? cpus - allocated : 0.0;
    info.allocated += allocated;
    info.cpus_total += cpus;
    info.nodes += 1;
    if (unavailable)
        info.other += free;
    else
        info.idle += free;
    for (const std::string &state : node.states) {
        quicktype::NodeStateCount &count = info.states[state];
        count.cpus += cpus;
        count.nodes += 1;
    }
}

std::string upper(std::string text)
{
    for (char &c : text) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return text;
}

QString describeErrors(const json &errors)
{
    QStringList texts;
    for (const json &entry : errors) {
        std::string text;
        if (entry.is_object()) {
            for (const char *key : {"description", "error"}) {
                const auto member = entry.find(key);
                if (member != entry.end() && member->is_string()
                    && !member->get<std::string>().empty()) {
                    text = member->get<std::string>();
                    break;
                }
            }
        }
        if (text.empty())
            text = entry.dump(-1, ' ', false, json::error_handler_t::replace);
        texts << QString::fromStdString(text);
    }
    return texts.join(QLatin1String("; "));
}

enum class Refusal {
    None,
    NoNodes, // not a document with a "nodes" member: another tool may still answer
    Failed, // Slurm answered and reported a failure, or the nodes cannot be read
};

// Reads one whole answer. On success gives its nodes (normalised to scontrol's form); else
// says why in error.
Refusal readNodes(const QByteArray &output, bool normalise, json &nodesOut, QString &error)
{
    if (output.trimmed().isEmpty()) {
        error = QStringLiteral("no output");
        return Refusal::NoNodes;
    }
    json document = json::parse(output.constBegin(), output.constEnd(), nullptr, false, false);
    if (document.is_discarded()) {
        error = QStringLiteral("output is not JSON");
        return Refusal::NoNodes;
    }
    if (!document.is_object()) {
        error = QStringLiteral("output is not a JSON object");
        return Refusal::NoNodes;
    }
    const auto errors = document.find("errors");
    const bool reportsErrors = errors != document.end() && errors->is_array() && !errors->empty();
    const auto nodes = document.find("nodes");
    if (nodes == document.end()) {
        error = QStringLiteral("output has no \"nodes\" member");
        if (reportsErrors)
            error += QStringLiteral(" (Slurm reported: ") + describeErrors(*errors) + u')';
        return Refusal::NoNodes;
    }
    if (reportsErrors) {
        error = QStringLiteral("Slurm reported: ") + describeErrors(*errors);
        return Refusal::Failed;
    }
    if (!nodes->is_array() && !nodes->is_object() && !nodes->is_null()) {
        error = QStringLiteral("\"nodes\" is neither an array nor an object");
        return Refusal::Failed;
    }
    nodesOut = normalise ? BatchbayQueueInfo::normaliseSinfoNodes(*nodes) : std::move(*nodes);
    return Refusal::None;
}

Refusal readAnswer(const QByteArray &output, bool normalise, quicktype::QueueList &list,
                   QString &error, int &skipped)
{
    json nodes;
    const Refusal refusal = readNodes(output, normalise, nodes, error);
    if (refusal == Refusal::None)
        list = BatchbayQueueInfo::compute(nodes, &skipped);
    return refusal;
}

std::optional<quicktype::QueueList> readOutput(const QByteArray &output, bool normalise,
                                               QString *error)
{
    quicktype::QueueList list;
    QString reason;
    int skipped = 0;
    if (readAnswer(output, normalise, list, reason, skipped) != Refusal::None) {
        if (error)
            *error = reason;
        return std::nullopt;
    }
    return list;
}

QString commandLine(const SlurmCommand &command)
{
    return (QStringList {command.program()} + command.arguments()).join(QLatin1Char(' '));
}

// Why a run gave no usable output, or an empty string when it finished with status 0.
QString runFailure(const SlurmCommandResult &result, bool timedOut)
{
    if (!result.started)
        return QStringLiteral("could not be started");
    if (result.truncated)
        return QStringLiteral("printed more than %1 bytes").arg(SlurmCommand::sMaxOutputBytes);
    if (timedOut)
        return QStringLiteral("did not finish within %1 ms").arg(SlurmCommand::sQueryFinishMs);
    if (!result.finished)
        return QStringLiteral("was ended by a signal");
    if (result.exitCode != 0)
        return QStringLiteral("exited with status %1").arg(result.exitCode);
    return QString();
}

} // namespace

bool BatchbayQueueInfo::isUnavailableState(const std::string &state)
{
    // Initialised once, on first use, thread-safely; only read after that.
    static const std::set<std::string> unavailable {
        "DOWN",           "DRAIN",        "FAIL",          "FAILING",       "MAINT",
        "NOT_RESPONDING", "POWERED_DOWN", "POWERING_DOWN", "REBOOT_ISSUED", "REBOOT_REQUESTED",
        "RESERVED",       "PLANNED",
    };
    return unavailable.count(state) != 0;
}

quicktype::QueueList BatchbayQueueInfo::compute(const json &nodes, int *skippedNodes)
{
    quicktype::QueueList list;
    // std::map orders std::string keys by byte value, which is the order of "queues".
    std::map<std::string, quicktype::QueueInfo> queues;
    int skipped = 0;
    if (nodes.is_array() || nodes.is_object()) {
        for (const json &node : nodes) {
            const std::optional<NodeReading> reading = readNode(node);
            if (!reading) {
                ++skipped;
                continue;
            }
            bool unavailable = false;
            for (const std::string &state : reading->states)
                unavailable = unavailable || isUnavailableState(state);
            addNode(list.cluster, *reading, unavailable);
            for (const std::string &partition : reading->partitions) {
                quicktype::QueueInfo &queue = queues[partition];
                queue.partition = partition;
                addNode(queue, *reading, unavailable);
            }
        }
    }
    list.queues.reserve(queues.size());
    for (auto &[name, queue] : queues)
        list.queues.push_back(std::move(queue));
    if (skippedNodes)
        *skippedNodes = skipped;
    return list;
}

json BatchbayQueueInfo::normaliseSinfoNodes(const json &nodes)
{
    json normalised = nodes;
    if (!normalised.is_array() && !normalised.is_object())
        return normalised;
    for (json &node : normalised) {
        if (!node.is_object())
            continue;
        const auto state = node.find("state");
        if (state == node.end() || !state->is_string())
            continue;
        json states = json::array({upper(state->get<std::string>())});
        const auto flags = node.find("state_flags");
        if (flags != node.end() && flags->is_array()) {
            // Kept as they are: a flag that is not a string makes compute() skip the node.
            for (const json &flag : *flags)
                states.push_back(flag.is_string() ? json(upper(flag.get<std::string>())) : flag);
        }
        node["state"] = std::move(states);
    }
    return normalised;
}

std::optional<quicktype::QueueList> BatchbayQueueInfo::fromScontrolOutput(const QByteArray &output,
                                                                          QString *error)
{
    return readOutput(output, false, error);
}

std::optional<quicktype::QueueList> BatchbayQueueInfo::fromSinfoOutput(const QByteArray &output,
                                                                       QString *error)
{
    return readOutput(output, true, error);
}

std::optional<quicktype::QueueList> BatchbayQueueInfo::fetch(QString *error)
{
    const std::optional<json> nodes = fetchNodes(error);
    if (!nodes)
        return std::nullopt;
    int skipped = 0;
    quicktype::QueueList list = compute(*nodes, &skipped);
    if (skipped > 0) {
        HXBLogger::instance()->logNormalWarn(
            sLogCategory, "skipped unreadable nodes",
            QStringLiteral("%1 node(s) without the expected members").arg(skipped).toStdString());
    }
    return list;
}

std::optional<json> BatchbayQueueInfo::fetchNodes(QString *error)
{
    struct Attempt
    {
        SlurmCommand command;
        bool normalise;
    };
    const Attempt attempts[] = {
        {SlurmCommand(QStringLiteral("scontrol"),
                      {QStringLiteral("show"), QStringLiteral("node"), QStringLiteral("--json")}),
         false},
        {SlurmCommand(QStringLiteral("sinfo"), {QStringLiteral("--json")}), true},
    };

    QStringList reasons;
    std::optional<json> list;
    for (const Attempt &attempt : attempts) {
        QElapsedTimer clock;
        clock.start();
        const SlurmCommandResult result
            = SlurmCommand(attempt.command)
                  .setChannels(SlurmCommand::Channels::StdoutOnly)
                  .setLimits(SlurmCommand::sQueryStartMs, SlurmCommand::sQueryFinishMs)
                  .run();
        const QString name = commandLine(attempt.command);
        // The runner does not say whether it killed the program or a signal ended it; only
        // the first needs the whole finish limit.
        const bool timedOut
            = result.started && !result.finished && clock.elapsed() >= SlurmCommand::sQueryFinishMs;
        const QString failure = runFailure(result, timedOut);
        if (!failure.isEmpty()) {
            reasons << name + QStringLiteral(": ") + failure;
            // A command that hung or flooded its output means a controller or a tool that
            // does not behave; the other tool would wait just as long.
            if (timedOut || result.truncated)
                break;
            continue;
        }
        json answer;
        QString reason;
        const Refusal refusal = readNodes(result.output, attempt.normalise, answer, reason);
        if (refusal == Refusal::None) {
            list = std::move(answer);
            break;
        }
        reasons << name + QStringLiteral(": ") + reason;
        if (refusal == Refusal::Failed)
            break;
    }
    if (!list) {
        const QString reason = reasons.join(QLatin1String("; "));
        HXBLogger::instance()->logNormalWarn(sLogCategory, "no queue information",
                                             reason.toStdString());
        if (error)
            *error = reason;
    }
    return list;
}

json BatchbayQueueInfo::describeNodes(const json &nodes)
{
    json list = json::array();
    if (!nodes.is_array() && !nodes.is_object())
        return list;
    const auto count = [](const json &node, const char *key) -> json {
        const auto member = node.find(key);
        if (member == node.end())
            return nullptr;
        const std::optional<int> value = readCount(*member);
        return value ? json(*value) : json(nullptr);
    };
    const auto text = [](const json &node, const char *key) {
        const auto member = node.find(key);
        return member != node.end() && member->is_string() ? member->get<std::string>()
                                                           : std::string();
    };
    const auto names = [](const json &node, const char *key) {
        const auto member = node.find(key);
        std::optional<std::vector<std::string>> read;
        if (member != node.end())
            read = readNames(*member);
        return read ? json(*read) : json::array();
    };
    for (const json &node : nodes) {
        if (!node.is_object())
            continue;
        list.push_back({
            {"name", text(node, "name")},
            {"state", names(node, "state")},
            {"cpus", count(node, "cpus")},
            {"alloc_cpus", count(node, "alloc_cpus")},
            {"memory_mb", count(node, "real_memory")},
            {"alloc_memory_mb", count(node, "alloc_memory")},
            // 22.05 says "free_memory", later releases "free_mem".
            {"free_memory_mb",
             node.contains("free_mem") ? count(node, "free_mem") : count(node, "free_memory")},
            {"partitions", names(node, "partitions")},
            {"reason", text(node, "reason")},
        });
    }
    return list;
}
