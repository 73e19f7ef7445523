#include "SlurmQueueSnapshot.h"

#include "Job.h"
#include "SlurmCommand.h"
#include "log/HXBLogger.h"

#include <nlohmann/json.hpp>

#include <QStringList>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>
#include <limits>
#include <string_view>

using nlohmann::json;

namespace {

// The members of a job entry that are read. Slurm writes about a hundred; dropping the others
// while parsing keeps an answer listing thousands of jobs small in memory.
bool isReadMember(const std::string &key)
{
    static const char *const sRead[] = {"job_id", "job_state", "job_resources", "nodes",
                                        "standard_output", "stdout_expanded",
                                        "current_working_directory", "array_job_id",
                                        "array_task_id", "user_name", "name", "exit_code",
                                        "state_reason", "comment"};
    return std::any_of(std::begin(sRead), std::end(sRead), [&](const char *read) { return key == read; });
}

constexpr const char *sUnknownJobMessage = "Invalid job id specified";
constexpr int sUnknownJobErrorNumber = 2017;

// A number as Slurm writes it: plain, floating (truncated), boolean, or wrapped as
// {"set": …, "infinite": …, "number": N}. False for anything else, or a wrapped number that
// is not set.
bool readInt(const json &value, long long &out)
{
    if (value.is_number_integer()) {
        out = value.is_number_unsigned() ? static_cast<long long>(value.get<unsigned long long>())
                                         : value.get<long long>();
        return true;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!std::isfinite(d) || d > 9e18 || d < -9e18)
            return false;
        out = static_cast<long long>(d);
        return true;
    }
    if (value.is_boolean()) {
        out = value.get<bool>() ? 1 : 0;
        return true;
    }
    if (value.is_object()) {
        const auto set = value.find("set");
        const auto number = value.find("number");
        if (number == value.end() || (set != value.end() && set->is_boolean() && !set->get<bool>()))
            return false;
        if (const auto infinite = value.find("infinite");
            infinite != value.end() && infinite->is_boolean() && infinite->get<bool>())
            return false;
        return readInt(*number, out);
    }
    return false;
}

bool readJobId(const json &entry, int &id)
{
    if (!entry.is_object())
        return false;
    const auto found = entry.find("job_id");
    long long value = 0;
    if (found == entry.end() || !readInt(*found, value))
        return false;
    id = static_cast<int>(value);
    return true;
}

std::string stringMember(const json &entry, const char *name)
{
    const auto found = entry.find(name);
    return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string numberMember(const json &entry, const char *name, const std::string &fallback)
{
    const auto found = entry.find(name);
    long long value = 0;
    if (found == entry.end() || !readInt(*found, value))
        return fallback;
    return std::to_string(value);
}

bool mentionsUnknownJob(const json &errors)
{
    for (const json &error : errors) {
        if (!error.is_object())
            continue;
        long long number = 0;
        if (const auto n = error.find("error_number"); n != error.end() && readInt(*n, number)
                                                        && number == sUnknownJobErrorNumber)
            return true;
        for (const char *key : {"error", "description"}) {
            if (stringMember(error, key).find(sUnknownJobMessage) != std::string::npos)
                return true;
        }
    }
    return false;
}

std::string describeErrors(const json &errors)
{
    std::string text;
    for (const json &error : errors) {
        std::string line = error.is_object() ? stringMember(error, "description") : std::string();
        if (error.is_object() && line.empty())
            line = stringMember(error, "error");
        if (line.empty())
            line = error.dump(-1, ' ', false, json::error_handler_t::replace);
        if (!text.empty())
            text += "; ";
        text += line;
    }
    return text;
}

// Expands the file-name patterns Slurm allows in --output: %% %j %x %u %A %a, each with an
// optional zero-padding width (%4j). Other patterns are kept as they are.
std::string expandPattern(const std::string &pattern, const json &entry, const std::string &jobId)
{
    const std::string arrayJob = numberMember(entry, "array_job_id", "0");
    const std::string arrayTask = numberMember(entry, "array_task_id", "4294967294");
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            out += pattern[i];
            continue;
        }
        size_t j = i + 1;
        size_t width = 0;
        while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9' && width < 100)
            width = width * 10 + size_t(pattern[j++] - '0');
        if (j == pattern.size()) {
            out += pattern.substr(i);
            break;
        }
        std::string value;
        bool numeric = true;
        switch (pattern[j]) {
        case '%':
            value = "%";
            numeric = false;
            break;
        case 'j':
            value = jobId;
            break;
        case 'A':
            value = arrayJob == "0" ? jobId : arrayJob;
            break;
        case 'a':
            value = arrayTask;
            break;
        case 'x':
            value = stringMember(entry, "name");
            numeric = false;
            break;
        case 'u':
            value = stringMember(entry, "user_name");
            numeric = false;
            break;
        default:
            out += pattern.substr(i, j - i + 1);
            i = j;
            continue;
        }
        if (numeric && value.size() < width)
            value.insert(0, width - value.size(), '0');
        out += value;
        i = j;
    }
    return out;
}

// The node list of an entry: "job_resources"."nodes" (a string, or an object with "list"),
// else the top-level "nodes". False when a member that is there is of another type.
bool readNode(const json &entry, std::string &node)
{
    node.clear();
    if (const auto resources = entry.find("job_resources"); resources != entry.end()) {
        if (resources->is_object()) {
            if (const auto nodes = resources->find("nodes"); nodes != resources->end()) {
                const json *value = &*nodes;
                if (nodes->is_object()) {
                    const auto list = nodes->find("list");
                    if (list == nodes->end())
                        return false;
                    value = &*list;
                }
                if (!value->is_string())
                    return false;
                node = value->get<std::string>();
            }
        }
    }
    if (node.empty()) {
        if (const auto nodes = entry.find("nodes"); nodes != entry.end()) {
            if (!nodes->is_string())
                return false;
            node = nodes->get<std::string>();
        }
    }
    return true;
}

const char *const sFailedStates[] = {"CANCELLED", "FAILED",   "TIMEOUT",  "NODE_FAIL", "OUT_OF_MEMORY",
                                     "BOOT_FAIL", "DEADLINE", "PREEMPTED"};

bool isFailedState(const std::string &word)
{
    return std::any_of(std::begin(sFailedStates), std::end(sFailedStates),
                       [&](const char *failed) { return word == failed; });
}

// The exit code in an entry's "exit_code": 22.05 writes the wait status as a number (3 << 8
// for exit 3, 15 for SIGTERM); later versions an object with "return_code" and "signal". A
// signal N gives 128 + N, as a shell reports it. -1 when neither can be read.
int readExitCode(const json &entry)
{
    const auto found = entry.find("exit_code");
    if (found == entry.end())
        return -1;
    long long value = 0;
    if (found->is_object()) {
        if (const auto signal = found->find("signal"); signal != found->end() && signal->is_object()) {
            if (const auto id = signal->find("id"); id != signal->end() && readInt(*id, value) && value > 0)
                return int(128 + (value & 0x7f));
        }
        if (const auto code = found->find("return_code"); code != found->end() && readInt(*code, value))
            return int(value & 0xff);
        return -1;
    }
    if (!readInt(*found, value) || value < 0)
        return -1;
    if (value & 0x7f)
        return int(128 + (value & 0x7f));
    return int((value >> 8) & 0xff);
}

// The state word, then Slurm's reason when it gives one: "PENDING Resources".
std::string describeState(const json &entry, const std::string &word)
{
    const std::string reason = stringMember(entry, "state_reason");
    return reason.empty() || reason == "None" ? word : word + " " + reason;
}

// The entry's base state: a string, or the first word of a list (data_parser v0.0.40 on).
const json *stateWordOf(const json &entry)
{
    const auto state = entry.find("job_state");
    if (state == entry.end())
        return nullptr;
    if (state->is_string())
        return &*state;
    if (state->is_array() && !state->empty() && state->front().is_string())
        return &state->front();
    return nullptr;
}

} // namespace

SlurmQueueSnapshot SlurmQueueSnapshot::fromCommand(const SlurmCommandResult &result)
{
    if (!result.started) {
        SlurmQueueSnapshot snapshot;
        snapshot.mError = "squeue could not be started";
        return snapshot;
    }
    if (!result.finished && !result.truncated) {
        SlurmQueueSnapshot snapshot;
        snapshot.mError = "squeue did not finish in time";
        return snapshot;
    }
    if (result.truncated) {
        SlurmQueueSnapshot snapshot;
        snapshot.mError = "squeue answered more than the size limit";
        return snapshot;
    }
    return fromOutput(result.output.toStdString(), result.exitCode, result.errors.toStdString());
}

SlurmQueueSnapshot SlurmQueueSnapshot::fromOutput(const std::string &output, int exitCode,
                                                  const std::string &standardError)
{
    SlurmQueueSnapshot snapshot;
    const bool unknownOnStderr = standardError.find(sUnknownJobMessage) != std::string::npos;

    // Depth 1: the top level's members; depth 3: the members of an entry of "jobs".
    std::string topLevelKey;
    const json::parser_callback_t keep = [&topLevelKey](int depth, json::parse_event_t event, json &parsed) {
        if (event != json::parse_event_t::key)
            return true;
        if (depth == 1)
            topLevelKey = parsed.get<std::string>();
        return depth != 3 || topLevelKey != "jobs" || isReadMember(parsed.get_ref<const std::string &>());
    };
    auto document = std::make_shared<json>(json::parse(output, keep, false, false));
    if (document->is_discarded() || !document->is_object()) {
        if (exitCode != 0 && unknownOnStderr) {
            snapshot.mState = State::Unknown;
            return snapshot;
        }
        snapshot.mError = document->is_discarded() ? "answer is not JSON" : "answer is not a JSON object";
        if (exitCode != 0)
            snapshot.mError += " (exit status " + std::to_string(exitCode) + ")";
        return snapshot;
    }

    const auto errors = document->find("errors");
    const bool hasErrors = errors != document->end() && !errors->is_null()
                           && !(errors->is_array() && errors->empty());
    if (hasErrors || exitCode != 0) {
        if ((hasErrors && errors->is_array() && mentionsUnknownJob(*errors)) || unknownOnStderr) {
            snapshot.mState = State::Unknown;
            return snapshot;
        }
        snapshot.mError = hasErrors ? "Slurm reported: " + describeErrors(*errors)
                                    : "exit status " + std::to_string(exitCode);
        return snapshot;
    }

    return fromDocument(std::move(*document));
}

SlurmQueueSnapshot SlurmQueueSnapshot::fromDocument(json &&parsed)
{
    SlurmQueueSnapshot snapshot;
    auto document = std::make_shared<json>(std::move(parsed));
    snapshot.mState = State::Readable;
    snapshot.mDocument = document;
    const auto jobs = document->find("jobs");
    if (jobs == document->end() || jobs->is_null())
        return snapshot;
    if (!jobs->is_array() && !jobs->is_object()) {
        snapshot.mState = State::Unreadable;
        snapshot.mError = "\"jobs\" is neither an array nor an object";
        return snapshot;
    }
    snapshot.mEntries.reserve(jobs->size());
    for (const json &entry : *jobs) {
        int id = 0;
        if (!readJobId(entry, id)) {
            snapshot.mFirstBadEntry = snapshot.mEntries.size();
            snapshot.mBadEntryError = "an entry has no numeric \"job_id\"";
            break;
        }
        snapshot.mFirstEntry.emplace(id, snapshot.mEntries.size());
        long long arrayJob = 0;
        if (const auto array = entry.find("array_job_id");
            array != entry.end() && readInt(*array, arrayJob) && arrayJob > 0 && arrayJob <= INT32_MAX)
            snapshot.mArrayTasks[int(arrayJob)].push_back(snapshot.mEntries.size());
        snapshot.mEntries.push_back(&entry);
    }
    // Tasks in the order of their numbers, whatever order the answer had: the task a reading
    // names is the same in every answer. The pending rest of an array, without a number, last.
    for (auto &[arrayJob, tasks] : snapshot.mArrayTasks) {
        const auto taskNumber = [&snapshot](size_t position) {
            long long task = 0;
            const json &entry = *snapshot.mEntries[position];
            const auto id = entry.find("array_task_id");
            return id != entry.end() && readInt(*id, task) && task >= 0 ? task : LLONG_MAX;
        };
        std::stable_sort(tasks.begin(), tasks.end(),
                         [&](size_t a, size_t b) { return taskNumber(a) < taskNumber(b); });
    }
    return snapshot;
}

namespace {

// The IDs as squeue's --jobs list, sorted and without duplicates; empty without usable IDs or
// when the list would not fit far below the kernel's limit for one argument (128 KiB).
QByteArray jobList(const std::vector<int> &slurmIds)
{
    constexpr qsizetype maxListBytes = 64 * 1024;
    std::vector<int> ids;
    for (int id : slurmIds) {
        if (id >= 1)
            ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    QByteArray list;
    for (int id : ids) {
        if (!list.isEmpty())
            list += ',';
        list += QByteArray::number(id);
    }
    return list.size() <= maxListBytes ? list : QByteArray();
}

// The fields of squeue's text answer, in the order they are asked. Every field is followed by
// the separator, so a line holds exactly one separator per field. Only the name, last, is
// chosen by users; a name holding the separator or a line break spoils the count and the
// answer is asked again as JSON.
const char *const sTextFields[] = {"JobID",    "ArrayJobID", "ArrayTaskID", "State",  "exit_code", "NodeList",
                                   "Reason",   "UserName",   "WorkDir",     "STDOUT", "Name"};
constexpr size_t sTextFieldCount = std::size(sTextFields);
constexpr char sTextSeparator = '\x1f';

bool isDigits(std::string_view text)
{
    return !text.empty() && text.size() <= 10
           && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One line of the text answer as the members of a JSON entry; false when the line does not
// have the asked shape.
bool textEntry(std::string_view line, json &entry)
{
    std::string_view fields[sTextFieldCount];
    for (size_t i = 0; i < sTextFieldCount; ++i) {
        const size_t end = line.find(sTextSeparator);
        if (end == std::string_view::npos)
            return false;
        fields[i] = line.substr(0, end);
        line.remove_prefix(end + 1);
    }
    const auto [jobId, arrayJob, arrayTask, state, exitCode, nodes, reason, user, workDir, output, name]
        = fields;
    if (!line.empty() || !isDigits(jobId) || state.empty())
        return false;
    const auto text = [](std::string_view value) { return value == "(null)" ? std::string() : std::string(value); };
    entry = json::object();
    entry["job_id"] = std::stoll(std::string(jobId));
    // Outside an array squeue writes the job's own ID as the array's and N/A as the task.
    if (arrayTask != "N/A" && isDigits(arrayJob))
        entry["array_job_id"] = std::stoll(std::string(arrayJob));
    if (isDigits(arrayTask))
        entry["array_task_id"] = std::stoll(std::string(arrayTask));
    entry["job_state"] = std::string(state);
    // 22.05 writes the wait status as a number, later versions "code:signal".
    if (const size_t colon = exitCode.find(':'); colon != std::string_view::npos) {
        if (isDigits(exitCode.substr(0, colon)) && isDigits(exitCode.substr(colon + 1)))
            entry["exit_code"] = {{"return_code", std::stoll(std::string(exitCode.substr(0, colon)))},
                                  {"signal", {{"id", std::stoll(std::string(exitCode.substr(colon + 1)))}}}};
    } else if (isDigits(exitCode)) {
        entry["exit_code"] = std::stoll(std::string(exitCode));
    }
    entry["nodes"] = text(nodes);
    entry["state_reason"] = text(reason);
    entry["user_name"] = text(user);
    entry["current_working_directory"] = text(workDir);
    entry["standard_output"] = text(output);
    entry["name"] = text(name);
    return true;
}

} // namespace

QStringList SlurmQueueSnapshot::queryArguments(const std::vector<int> &slurmIds)
{
    QStringList arguments{QStringLiteral("--json"), QStringLiteral("--states=all")};
    if (const QByteArray list = jobList(slurmIds); !list.isEmpty())
        arguments << QStringLiteral("--jobs=") + QString::fromLatin1(list);
    return arguments;
}

QStringList SlurmQueueSnapshot::textQueryArguments(const std::vector<int> &slurmIds)
{
    const QByteArray list = jobList(slurmIds);
    if (list.isEmpty())
        return {};
    QString format;
    for (const char *field : sTextFields) {
        if (!format.isEmpty())
            format += QLatin1Char(',');
        format += QLatin1String(field) + QLatin1Char(':') + QLatin1Char(sTextSeparator);
    }
    return {QStringLiteral("--noheader"), QStringLiteral("--states=all"),
            QStringLiteral("--jobs=") + QString::fromLatin1(list), QStringLiteral("--Format=") + format};
}

SlurmQueueSnapshot SlurmQueueSnapshot::fromTextOutput(const std::string &output, int exitCode,
                                                      const std::string &standardError)
{
    SlurmQueueSnapshot snapshot;
    if (exitCode != 0) {
        if (standardError.find(sUnknownJobMessage) != std::string::npos) {
            snapshot.mState = State::Unknown;
            return snapshot;
        }
        snapshot.mError = "exit status " + std::to_string(exitCode);
        // A squeue that does not know a field or an option of the text form.
        snapshot.mAskAgainInJson = standardError.find("format") != std::string::npos
                                   || standardError.find("option") != std::string::npos;
        return snapshot;
    }
    json jobs = json::array();
    std::string_view rest(output);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        json entry;
        if (!textEntry(line, entry)) {
            snapshot.mError = "a line of squeue's answer does not have the asked fields";
            snapshot.mAskAgainInJson = true;
            return snapshot;
        }
        jobs.push_back(std::move(entry));
    }
    return fromDocument(json{{"jobs", std::move(jobs)}});
}

SlurmQueueSnapshot SlurmQueueSnapshot::query(const std::vector<int> &slurmIds)
{
    // One answer for every tracked job: on a Slurm that lists every job of the cluster it
    // grows with the cluster (about 1.5 s for 5,000 jobs on 22.05), so it is given longer
    // to finish than the query about one job.
    const auto run = [](const QStringList &arguments) {
        return SlurmCommand(QStringLiteral("squeue"), arguments)
            .setChannels(SlurmCommand::Channels::Separate)
            .setLimits(SlurmCommand::sQueryStartMs, sSharedQueryFinishMs)
            .run();
    };
    // The text form costs the controller and squeue a fraction of the JSON one (0.05 s against
    // 0.8 s for 1,000 jobs on 24.11), and filters by ID on every version.
    if (const QStringList arguments = textQueryArguments(slurmIds); !arguments.isEmpty()) {
        const SlurmCommandResult result = run(arguments);
        SlurmQueueSnapshot snapshot = result.started && result.finished && !result.truncated
                                          ? fromTextOutput(result.output.toStdString(), result.exitCode,
                                                           result.errors.toStdString())
                                          : fromCommand(result);
        if (!snapshot.mAskAgainInJson)
            return snapshot;
        HXBLogger::instance()->logNormalWarn("squeue", "text answer not in the asked shape, asked again as JSON",
                                             snapshot.mError);
    }
    return fromCommand(run(queryArguments(slurmIds)));
}

SlurmQueueSnapshot SlurmQueueSnapshot::queryController(int slurmId)
{
    return fromCommand(SlurmCommand(QStringLiteral("scontrol"),
                                    {QStringLiteral("show"), QStringLiteral("job"),
                                     QString::number(slurmId), QStringLiteral("--json")})
                           .setChannels(SlurmCommand::Channels::Separate)
                           .run());
}

int SlurmQueueSnapshot::findByComment(const std::string &comment) const
{
    if (mState == State::Unknown)
        return 0;
    if (mState != State::Readable || mFirstBadEntry != SIZE_MAX)
        return -1;
    int newest = 0;
    for (const json *entry : mEntries) {
        int id = 0;
        if (stringMember(*entry, "comment") == comment && readJobId(*entry, id))
            newest = std::max(newest, id);
    }
    return newest;
}

SlurmJobReading SlurmQueueSnapshot::lookup(int slurmId) const
{
    SlurmJobReading reading;
    switch (mState) {
    case State::Unreadable:
        reading.error = mError;
        return reading;
    case State::Unknown:
        reading.outcome = SlurmJobReading::Outcome::NotFound;
        return reading;
    case State::Readable:
        break;
    }

    const auto found = mFirstEntry.find(slurmId);
    if (found == mFirstEntry.end()) {
        if (mFirstBadEntry != SIZE_MAX) {
            reading.error = mBadEntryError;
            return reading;
        }
        reading.outcome = SlurmJobReading::Outcome::NotFound;
        return reading;
    }

    if (const auto tasks = mArrayTasks.find(slurmId); tasks != mArrayTasks.end())
        return lookupArray(tasks->second, slurmId);
    readEntry(*mEntries[found->second], reading);
    return reading;
}

void SlurmQueueSnapshot::readEntry(const json &entry, SlurmJobReading &reading)
{
    reading.outcome = SlurmJobReading::Outcome::Found;
    if (!outputPath(entry, reading.stdOutPath)) {
        reading.failedAt = "standard_output";
        return;
    }
    const json *word = stateWordOf(entry);
    if (!word) {
        reading.failedAt = "job_state";
        return;
    }
    reading.stateWord = word->get<std::string>();
    reading.reason = describeState(entry, reading.stateWord);
    if (isEndState(reading.stateWord))
        reading.exitCode = readExitCode(entry);
    if (!readNode(entry, reading.node))
        reading.failedAt = "node";
}

SlurmJobReading SlurmQueueSnapshot::lookupArray(const std::vector<size_t> &tasks, int slurmId) const
{
    // Output path and node are those of the array's own entry (or its first task's); the state
    // is the array's as a whole: running while any task has not ended, failed when one failed.
    SlurmJobReading reading;
    const auto own = mFirstEntry.find(slurmId);
    readEntry(*mEntries[own != mFirstEntry.end() ? own->second : tasks.front()], reading);
    if (!reading.failedAt.empty() && reading.failedAt != "node")
        return reading;
    const json *running = nullptr;
    const json *waiting = nullptr;
    const json *failed = nullptr;
    int highestExitCode = 0;
    for (size_t position : tasks) {
        const json &task = *mEntries[position];
        const json *word = stateWordOf(task);
        if (!word) {
            reading.failedAt = "job_state";
            return reading;
        }
        const std::string &text = word->get_ref<const std::string &>();
        if (!isEndState(text)) {
            const json *&first = text == "RUNNING" ? running : waiting;
            first = first ? first : &task;
        } else if (isFailedState(text)) {
            failed = failed ? failed : &task;
        } else {
            highestExitCode = std::max(highestExitCode, readExitCode(task));
        }
    }
    const json *shown = running ? running : waiting ? waiting : failed;
    if (!shown) {
        reading.stateWord = "COMPLETED";
        reading.reason = "COMPLETED";
        reading.exitCode = highestExitCode;
        return reading;
    }
    reading.stateWord = stateWordOf(*shown)->get<std::string>();
    reading.reason = describeState(*shown, reading.stateWord);
    reading.exitCode = shown == failed ? readExitCode(*shown) : -1;
    if (shown == failed) {
        long long task = 0;
        if (const auto id = shown->find("array_task_id"); id != shown->end() && readInt(*id, task))
            reading.reason += " (array task " + std::to_string(task) + ")";
    }
    return reading;
}

bool SlurmQueueSnapshot::isEndState(const std::string &stateWord)
{
    return stateWord == "COMPLETED" || isFailedState(stateWord);
}

int SlurmQueueSnapshot::jobStateFor(const std::string &stateWord, int currentState)
{
    if (stateWord == "RUNNING")
        return JobRunning;
    if (stateWord == "PENDING")
        return JobQueued;
    if (stateWord == "COMPLETED")
        return JobFinished;
    // Cancelled, and every way Slurm ends a job that did not complete.
    return isFailedState(stateWord) ? int(JobFailed) : currentState;
}

bool SlurmQueueSnapshot::outputPath(const json &entry, std::string &path)
{
    path.clear();
    const std::string jobId = numberMember(entry, "job_id", "0");
    if (const auto expanded = entry.find("stdout_expanded");
        expanded != entry.end() && expanded->is_string() && !expanded->get<std::string>().empty()) {
        path = expanded->get<std::string>();
    } else {
        const auto given = entry.find("standard_output");
        if (given == entry.end() || !given->is_string())
            return false;
        std::string pattern = given->get<std::string>();
        if (pattern.empty()) {
            const bool array = numberMember(entry, "array_task_id", "") != "";
            pattern = array ? "slurm-%A_%a.out" : "slurm-%j.out";
        }
        path = expandPattern(pattern, entry, jobId);
    }
    if (!path.empty() && path.front() != '/') {
        const std::string cwd = stringMember(entry, "current_working_directory");
        if (!cwd.empty())
            path = cwd + (cwd.back() == '/' ? "" : "/") + path;
    }
    return true;
}
