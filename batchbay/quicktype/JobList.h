#pragma once

#include "quicktype/Job.h"

#include <nlohmann/json.hpp>

#include <vector>

namespace quicktype {

// The job list answer: {"jobs": [ job-info record, ... ]}.
struct JobList
{
    std::vector<Job> jobs;
};

void to_json(nlohmann::json &j, const JobList &list);
// The compact JSON text of the list, byte for byte what toJsonText(nlohmann::json(list)) gives,
// written straight from the records (a list of thousands of jobs is answered per request).
std::string toJsonText(const JobList &list);
// Throws nlohmann::json::exception when "jobs" is missing or malformed.
void from_json(const nlohmann::json &j, JobList &list);

} // namespace quicktype
