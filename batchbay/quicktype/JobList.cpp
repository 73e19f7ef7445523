#include "quicktype/JobList.h"

namespace quicktype {

void to_json(nlohmann::json &j, const JobList &list)
{
    j = nlohmann::json::object();
    j["jobs"] = nlohmann::json::array();
    for (const Job &job : list.jobs)
        j["jobs"].push_back(job);
}

void from_json(const nlohmann::json &j, JobList &list)
{
    list.jobs = j.at("jobs").get<std::vector<Job>>();
}

} // namespace quicktype
