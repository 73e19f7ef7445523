#include "quicktype/JobList.h"

#include <cmath>
#include <cstdio>

namespace quicktype {

namespace {

bool isValidUtf8(const std::string &text)
{
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned min = 0;
        unsigned code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

void appendString(std::string &out, const std::string &text)
{
    if (!isValidUtf8(text)) {
        out += toJsonText(nlohmann::json(text));
        return;
    }
    out += '"';
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void appendNumber(std::string &out, double value)
{
    // Whole numbers are what the records hold; anything else takes the library's own way.
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15
        && !(value == 0 && std::signbit(value))) {
        out += std::to_string(static_cast<long long>(value));
        out += ".0";
        return;
    }
    out += nlohmann::json(value).dump();
}

} // namespace

std::string toJsonText(const JobList &list)
{
    std::string out;
    out.reserve(64 + list.jobs.size() * 320);
    out += "{\"jobs\":[";
    bool first = true;
    for (const Job &job : list.jobs) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"designname\":";
        appendString(out, job.designname);
        out += ",\"exitCode\":";
        appendNumber(out, job.exitCode);
        out += ",\"jobdir\":";
        appendString(out, job.jobdir);
        out += ",\"jobid\":";
        appendString(out, job.jobid);
        out += ",\"node\":";
        appendString(out, job.node);
        out += ",\"ownerid\":";
        appendNumber(out, job.ownerid);
        out += ",\"ownername\":";
        appendString(out, job.ownername);
        out += ",\"priority\":";
        if (job.priority)
            appendNumber(out, *job.priority);
        else
            out += "null";
        out += ",\"projectname\":";
        appendString(out, job.projectname);
        out += ",\"reason\":";
        appendString(out, job.reason);
        out += ",\"received_timestamp\":";
        appendNumber(out, job.received_timestamp);
        out += ",\"removefiles\":";
        out += job.removefiles ? "true" : "false";
        out += ",\"runid\":";
        appendString(out, job.runid);
        out += ",\"runname\":";
        appendString(out, job.runname);
        out += ",\"slurmid\":";
        appendNumber(out, job.slurmid);
        out += ",\"started_timestamp\":";
        appendNumber(out, job.started_timestamp);
        out += ",\"state\":";
        appendString(out, job.state);
        out += '}';
    }
    out += "]}";
    return out;
}

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
