// The regular-expression family of the string utilities. The input is
// "<flags byte><pattern>\0<subject>\0<replacement>": the pattern is compiled per call as the
// "Ex" forms do, and every form is run on the subject. An invalid pattern or an expression too
// complex for the subject is reported by the documented exceptions, never by a crash.

#include "util/HXBStringUtils.h"

#include <boost/regex.hpp>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void runAll(const std::string &pattern, const std::string &subject, const std::string &after,
            bool cs, std::size_t from)
{
    (void)indexOfEx(subject, pattern, from);
    (void)lastIndexOfEx(subject, pattern, from);
    (void)containsEx(subject, pattern);
    (void)startsWithEx(subject, pattern, cs);
    (void)endsWithEx(subject, pattern, cs);
    (void)splitEx(subject, pattern, true, cs);
    (void)splitEx(subject, pattern, false, cs);
    (void)replaceEx(subject, pattern, after, cs);
    std::string removed = subject;
    removeEx(removed, pattern, cs);
    (void)exactMatchEx(subject, pattern);
    (void)filterEx(std::vector<std::string>{subject, after, std::string()}, pattern);
    (void)sectionEx(subject, pattern, static_cast<qsizetype>(from % 5) - 2, -1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool cs = data[0] & 1;
    const std::size_t from = data[0] >> 1;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::size_t first = input.find('\0');
    const std::string pattern = input.substr(0, first);
    std::string subject;
    std::string after;
    if (first != std::string::npos) {
        const std::size_t second = input.find('\0', first + 1);
        subject = input.substr(first + 1, second == std::string::npos ? second : second - first - 1);
        if (second != std::string::npos)
            after = input.substr(second + 1);
    }

    try {
        runAll(pattern, subject, after, cs, from);
    } catch (const boost::regex_error &) {
    } catch (const std::runtime_error &) {
    }

    // The forms that take a compiled expression.
    try {
        const boost::regex re(pattern, cs ? boost::regex::perl : boost::regex::perl | boost::regex::icase);
        (void)indexOf(subject, re, from);
        (void)lastIndexOf(subject, re, from);
        (void)split(subject, re, true);
        (void)replace(subject, re, after);
        std::string removed = subject;
        remove(removed, re);
        (void)exactMatch(subject, re);
    } catch (const boost::regex_error &) {
    } catch (const std::runtime_error &) {
    }
    return 0;
}
