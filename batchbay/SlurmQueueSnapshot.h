#pragma once

#include <nlohmann/json_fwd.hpp>

#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct SlurmCommandResult;

// What Slurm's queue says about one Slurm job.
struct SlurmJobReading
{
    enum class Outcome {
        Found,    // the job is listed; see the fields below
        NotFound, // Slurm answered and does not know the job (not listed, or purged)
        Error,    // the answer could not be read: nothing is known about the job
    };
    Outcome outcome = Outcome::Error;

    // For Found, filled in order; reading stops at the first member that cannot be read, and
    // failedAt names it (empty when all three were read).
    std::string stdOutPath; // absolute path of the job's output file, expanded
    std::string stateWord;  // Slurm's base state, e.g. "RUNNING"
    std::string node;       // node list, e.g. "cn[1-2]"; empty while pending
    std::string failedAt;   // "standard_output", "job_state" or "node"
    // With stateWord: once the job has ended, its exit code (128 + N when signal N ended it),
    // else -1; Slurm's state and state reason in words ("FAILED NonZeroExitCode").
    int exitCode = -1;
    std::string reason;

    std::string error; // for Error: why
};

// A parsed answer of `squeue --json` (every Slurm from 22.05 on: data_parser v0.0.38 to
// v0.0.44), which can be asked about any number of Slurm IDs.
//
// Reading rules: the top level must be an object; a missing or null "jobs" lists no job;
// "jobs" is an array or an object whose values are the entries. Entries are walked in order
// and the first whose "job_id" equals the ID is the job; an entry before it that is not an
// object with a numeric "job_id" makes the answer unreadable for that ID. Numbers may be
// plain, floating (truncated), boolean, or wrapped as {"set": true, "number": N}.
//
// An answer with a non-empty top-level "errors", a non-zero exit status, or a program that
// did not finish is unreadable, except when it says that the job ID is not known to Slurm
// ("Invalid job id specified", error 2017, in "errors" or on standard error), which is how
// Slurm answers for a job it has purged: that job is not found.
//
// Immutable once built; may be read from any thread.
class SlurmQueueSnapshot
{
public:
    static SlurmQueueSnapshot fromCommand(const SlurmCommandResult &result);
    // standardError is only searched for the unknown-job message.
    static SlurmQueueSnapshot fromOutput(const std::string &output, int exitCode = 0,
                                         const std::string &standardError = std::string());

    // Reads squeue's text form (textQueryArguments) for the given jobs. When there are no
    // usable IDs, or more than fit on a command line, or the text answer does not have the asked
    // shape, it runs `squeue --json --states=all [--jobs=<ids>]` instead (Slurm 22.05 ignores
    // the filter there and lists every job; the reading rules cope). Every state is asked for:
    // later versions leave ended jobs out of the answer otherwise. Each squeue blocks for at most
    // its start limit plus sSharedQueryFinishMs.
    static SlurmQueueSnapshot query(const std::vector<int> &slurmIds);
    static constexpr int sSharedQueryFinishMs = 30000;

    SlurmJobReading lookup(int slurmId) const;
    // The Slurm ID of the newest entry whose "comment" is the given text; 0 when no entry has
    // it, -1 when the answer cannot be read.
    int findByComment(const std::string &comment) const;

    // The arguments of squeue that ask for one job, or for the given jobs, in every state.
    static QStringList queryArguments(const std::vector<int> &slurmIds);
    // The same question in squeue's text form: a line per entry, with ID, array ID and task,
    // state, exit code, node list, reason, user, working directory, output pattern and name,
    // each followed by the unit separator (0x1f). Empty without usable IDs.
    static QStringList textQueryArguments(const std::vector<int> &slurmIds);
    // Reads that answer as the JSON form's entries with the same members would be read. A line
    // of another shape makes the whole answer unreadable.
    static SlurmQueueSnapshot fromTextOutput(const std::string &output, int exitCode = 0,
                                             const std::string &standardError = std::string());
    // Runs `scontrol show job <id> --json`, whose answer has the shape of squeue's: what the
    // controller still knows of a job squeue no longer lists.
    static SlurmQueueSnapshot queryController(int slurmId);

    // Whether Slurm's base state is one a job never leaves.
    static bool isEndState(const std::string &stateWord);

    // Whether the whole answer was Slurm saying that a job ID is unknown. Asked about several
    // IDs at once, that does not tell which one: ask for each alone.
    bool saysJobUnknown() const { return mState == State::Unknown; }

    // Maps Slurm's base state to a job state; currentState when the word changes nothing.
    // COMPLETED is "finished"; CANCELLED, FAILED, TIMEOUT, NODE_FAIL, OUT_OF_MEMORY,
    // BOOT_FAIL, DEADLINE and PREEMPTED are "failed".
    static int jobStateFor(const std::string &stateWord, int currentState);

    // Where Slurm writes the entry's standard output: "stdout_expanded" when non-empty, else
    // "standard_output" with its %-patterns expanded, else Slurm's default slurm-%j.out;
    // relative paths are taken from the job's "current_working_directory". Empty when
    // "standard_output" is not a string.
    static bool outputPath(const nlohmann::json &entry, std::string &path);

private:
    SlurmQueueSnapshot() = default;
    static SlurmQueueSnapshot fromDocument(nlohmann::json &&document);

    enum class State { Readable, Unknown, Unreadable };
    State mState = State::Unreadable;
    std::string mError;
    // A text answer that squeue did not write in the asked shape: the JSON form is asked instead.
    bool mAskAgainInJson = false;
    std::shared_ptr<const nlohmann::json> mDocument;
    // Slurm ID -> position of its first entry.
    std::unordered_map<int, size_t> mFirstEntry;
    // Position of the first entry that has no readable "job_id"; entries from there on are
    // unknown.
    size_t mFirstBadEntry = SIZE_MAX;
    std::string mBadEntryError;
    std::vector<const nlohmann::json *> mEntries;
    // Array job ID -> positions of its tasks' entries.
    std::unordered_map<int, std::vector<size_t>> mArrayTasks;

    // Reads one entry into reading (outcome Found).
    static void readEntry(const nlohmann::json &entry, SlurmJobReading &reading);
    SlurmJobReading lookupArray(const std::vector<size_t> &tasks, int slurmId) const;
};
