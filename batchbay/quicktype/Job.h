#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace quicktype {

// The job-info record the bridge answers with: one member per JSON key. Every number is a
// double and is written as a JSON floating-point number (4711.0); a priority that was not
// given is written as null. Keys come out in ascending order.
struct Job
{
    std::string designname;
    // The script's exit code once Slurm reports the job's end (128 + N for a job ended by
    // signal N), else -1.
    double exitCode = -1;
    std::string jobdir;
    std::string jobid;
    std::string node;
    double ownerid = -1;
    std::string ownername;
    std::optional<double> priority;
    std::string projectname;
    // Why the job is where it is, in words a person can act on: Slurm's state and reason
    // ("PENDING Resources", "FAILED NonZeroExitCode"), sbatch's error, "cancelled by <user>".
    std::string reason;
    double received_timestamp = 0;
    bool removefiles = false;
    std::string runid;
    std::string runname;
    double slurmid = -1;
    double started_timestamp = 0;
    std::string state;
};

void to_json(nlohmann::json &j, const Job &job);
// Throws nlohmann::json::exception for a member that is missing or of the wrong type;
// "exitCode" and "reason" may be missing (records written before they existed).
void from_json(const nlohmann::json &j, Job &job);

// Compact JSON text of a json value. Text that is not valid UTF-8 is written with U+FFFD in
// place of the bad bytes instead of throwing, so an answer can always be sent.
std::string toJsonText(const nlohmann::json &j);

} // namespace quicktype
