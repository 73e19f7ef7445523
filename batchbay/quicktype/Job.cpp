#include "quicktype/Job.h"

namespace quicktype {

void to_json(nlohmann::json &j, const Job &job)
{
    // nlohmann::json keeps object keys sorted, which gives the ascending order.
    j = nlohmann::json::object();
    j["designname"] = job.designname;
    j["exitCode"] = job.exitCode;
    j["jobdir"] = job.jobdir;
    j["jobid"] = job.jobid;
    j["node"] = job.node;
    j["ownerid"] = job.ownerid;
    j["ownername"] = job.ownername;
    j["priority"] = job.priority ? nlohmann::json(*job.priority) : nlohmann::json(nullptr);
    j["projectname"] = job.projectname;
    j["reason"] = job.reason;
    j["received_timestamp"] = job.received_timestamp;
    j["removefiles"] = job.removefiles;
    j["runid"] = job.runid;
    j["runname"] = job.runname;
    j["slurmid"] = job.slurmid;
    j["started_timestamp"] = job.started_timestamp;
    j["state"] = job.state;
}

void from_json(const nlohmann::json &j, Job &job)
{
    j.at("designname").get_to(job.designname);
    job.exitCode = j.value("exitCode", -1.0);
    j.at("jobdir").get_to(job.jobdir);
    j.at("jobid").get_to(job.jobid);
    j.at("node").get_to(job.node);
    j.at("ownerid").get_to(job.ownerid);
    j.at("ownername").get_to(job.ownername);
    const nlohmann::json &priority = j.at("priority");
    if (priority.is_null())
        job.priority.reset();
    else
        job.priority = priority.get<double>();
    j.at("projectname").get_to(job.projectname);
    job.reason = j.value("reason", std::string());
    j.at("received_timestamp").get_to(job.received_timestamp);
    j.at("removefiles").get_to(job.removefiles);
    j.at("runid").get_to(job.runid);
    j.at("runname").get_to(job.runname);
    j.at("slurmid").get_to(job.slurmid);
    j.at("started_timestamp").get_to(job.started_timestamp);
    j.at("state").get_to(job.state);
}

std::string toJsonText(const nlohmann::json &j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace quicktype
