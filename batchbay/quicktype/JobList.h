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
// Throws nlohmann::json::exception when "jobs" is missing or malformed.
void from_json(const nlohmann::json &j, JobList &list);

} // namespace quicktype
