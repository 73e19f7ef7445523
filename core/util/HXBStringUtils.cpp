#include "HXBStringUtils.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QTextStream>

#include <boost/regex.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <locale>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include <locale.h>

static_assert(sizeof(wchar_t) == 4, "widen/narrow assume UTF-32 wchar_t");

namespace {

constexpr std::size_t npos = std::string::npos;

// Case mapping is limited to ASCII: it is what tolower/toupper do in the C and UTF-8 locales, and
// it never changes a byte of a multi-byte UTF-8 sequence, whatever locale the process runs in.
char lowerByte(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char upperByte(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameByte(char a, char b, bool cs)
{
    return cs ? a == b : lowerByte(a) == lowerByte(b);
}

bool sameBytes(const char *a, const char *b, std::size_t n, bool cs)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (!sameByte(a[i], b[i], cs))
            return false;
    }
    return true;
}

bool sameText(const std::string &a, const std::string &b, bool cs)
{
    return a.size() == b.size() && sameBytes(a.data(), b.data(), a.size(), cs);
}

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void setOk(bool *ok, bool value)
{
    if (ok)
        *ok = value;
}

// Switches the calling thread to the C locale while numbers are parsed or printed, so that the
// decimal point is '.' even when the environment asks for another one.
locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

class CLocaleScope
{
public:
    CLocaleScope()
        : mPrevious(cLocale() ? uselocale(cLocale()) : static_cast<locale_t>(nullptr))
    {}
    ~CLocaleScope()
    {
        if (mPrevious)
            uselocale(mPrevious);
    }
    CLocaleScope(const CLocaleScope &) = delete;
    CLocaleScope &operator=(const CLocaleScope &) = delete;

private:
    locale_t mPrevious;
};

bool startsNegative(const std::string &s)
{
    for (char c : s) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            return c == '-';
    }
    return false;
}

template<typename Result, typename Convert>
Result parseInteger(const std::string &s, bool *ok, Convert convert)
{
    if (s.empty()) {
        setOk(ok, false);
        return 0;
    }
    const char *begin = s.c_str();
    char *end = nullptr;
    errno = 0;
    const auto value = convert(begin, &end);
    bool good = end == begin + s.size() && errno != ERANGE;
    if constexpr (std::is_unsigned_v<Result>) {
        // strtoul and strtoull negate a negative number in the unsigned type.
        if (value != 0 && startsNegative(s)) {
            setOk(ok, false);
            return 0;
        }
    }
    Result result;
    if (std::in_range<Result>(value)) {
        result = static_cast<Result>(value);
    } else {
        good = false;
        result = std::cmp_less(value, 0) ? std::numeric_limits<Result>::min()
                                         : std::numeric_limits<Result>::max();
    }
    setOk(ok, good);
    return result;
}

void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

constexpr char32_t replacementCharacter = 0xFFFD;

bool isUnicodeScalar(char32_t cp)
{
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

boost::regex compile(const std::string &pattern, bool cs)
{
    return boost::regex(pattern, cs ? boost::regex::perl : boost::regex::perl | boost::regex::icase);
}

// For the functions that report a bad pattern instead of throwing.
void reportRegexError(const std::exception &e)
{
    std::cout << e.what() << std::endl;
}

std::string replaced(const std::string &s, const boost::regex &re, const std::string &after)
{
    std::string out;
    out.reserve(s.size());
    auto last = s.cbegin();
    for (boost::sregex_iterator it(s.cbegin(), s.cend(), re), end; it != end; ++it) {
        const auto &match = (*it)[0];
        out.append(last, match.first);
        out += after;
        last = match.second;
    }
    out.append(last, s.cend());
    return out;
}

} // namespace

// Conversions

QString Q(const std::string &s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string S(const QString &s)
{
    return s.toUtf8().toStdString();
}

QStringList Q(const std::vector<std::string> &list)
{
    QStringList out;
    out.reserve(static_cast<qsizetype>(list.size()));
    for (const auto &s : list)
        out << Q(s);
    return out;
}

std::vector<std::string> S(const QList<QString> &list)
{
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(list.size()));
    for (const auto &s : list)
        out.push_back(S(s));
    return out;
}

QTextStream &operator<<(QTextStream &stream, const std::string &s)
{
    return stream << Q(s);
}

std::vector<std::string> &operator<<(std::vector<std::string> &list, const std::string &s)
{
    list.push_back(s);
    return list;
}

std::string narrow(const std::basic_string<wchar_t> &s)
{
    std::string out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
        const auto cp = static_cast<char32_t>(wc);
        appendUtf8(out, isUnicodeScalar(cp) ? cp : replacementCharacter);
    }
    return out;
}

std::basic_string<wchar_t> widen(const std::string &s)
{
    std::basic_string<wchar_t> out;
    out.reserve(s.size());
    const std::size_t size = s.size();
    std::size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(s[i]);
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t cp = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
        }
        bool valid = length != 0 && i + length <= size;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && cp >= smallest[length] && isUnicodeScalar(cp)) {
            out += static_cast<wchar_t>(cp);
            i += length;
        } else {
            out += static_cast<wchar_t>(replacementCharacter);
            ++i;
        }
    }
    return out;
}

std::string toBase64(const std::string &s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size())).toBase64().toStdString();
}

std::string fromBase64(const std::string &s)
{
    const QByteArray decoded =
        QByteArray::fromBase64(QByteArray(s.data(), static_cast<qsizetype>(s.size())));
    return S(QString::fromUtf8(decoded));
}

void fSleep(unsigned ms)
{
    std::this_thread::sleep_for(std::chrono::microseconds(std::uint64_t(ms) * 1000));
}

// Numbers

int toInt(const std::string &s, bool *ok)
{
    return parseInteger<int>(s, ok, [](const char *p, char **end) {
        return std::strtol(p, end, 10);
    });
}

unsigned int toUInt(const std::string &s, bool *ok)
{
    return parseInteger<unsigned int>(s, ok, [](const char *p, char **end) {
        return std::strtoul(p, end, 10);
    });
}

long long toLongLong(const std::string &s, bool *ok)
{
    return parseInteger<long long>(s, ok, [](const char *p, char **end) {
        return std::strtoll(p, end, 10);
    });
}

unsigned long toULong(const std::string &s, bool *ok)
{
    return parseInteger<unsigned long>(s, ok, [](const char *p, char **end) {
        return std::strtoul(p, end, 10);
    });
}

unsigned long long toULongLong(const std::string &s, bool *ok)
{
    return parseInteger<unsigned long long>(s, ok, [](const char *p, char **end) {
        return std::strtoull(p, end, 10);
    });
}

double toDouble(const std::string &s, bool *ok)
{
    if (s.empty()) {
        setOk(ok, false);
        return 0;
    }
    const char *begin = s.c_str();
    char *end = nullptr;
    double value = 0;
    {
        CLocaleScope cLocaleScope;
        errno = 0;
        value = std::strtod(begin, &end);
    }
    // Underflow also sets ERANGE; the tiny or zero result is still the nearest value.
    const bool overflow = errno == ERANGE && std::isinf(value);
    setOk(ok, end == begin + s.size() && !overflow);
    return value;
}

namespace {
template<typename T>
std::string printNumber(const char *format, T value)
{
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, format, value);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}
} // namespace

std::string fromNumber(int value, int) { return printNumber("%i", value); }
std::string fromNumber(unsigned int value, int) { return printNumber("%u", value); }
std::string fromNumber(long value, int) { return printNumber("%li", value); }
std::string fromNumber(unsigned long value, int) { return printNumber("%lu", value); }
std::string fromNumber(long long value, int) { return printNumber("%lli", value); }
std::string fromNumber(unsigned long long value, int) { return printNumber("%llu", value); }

std::string fromNumber(double value, char format, int precision)
{
    static constexpr std::string_view formats = "fFeEgGaA";
    if (formats.find(format) == std::string_view::npos)
        format = 'g';
    const char printfFormat[] = {'%', '.', '*', format, '\0'};

    CLocaleScope cLocaleScope;
    char buffer[50];
    const int n = std::snprintf(buffer, sizeof buffer, printfFormat, precision, value);
    if (n < 0)
        return {};
    std::string out;
    if (static_cast<std::size_t>(n) < sizeof buffer) {
        out.assign(buffer, static_cast<std::size_t>(n));
    } else {
        // Large values in 'f' format and long precisions do not fit the buffer.
        out.resize(static_cast<std::size_t>(n));
        std::snprintf(out.data(), out.size() + 1, printfFormat, precision, value);
    }
    if (out == "-0")
        return "0";
    return out;
}

// Searching and testing

std::size_t indexOf(const std::string &s, const std::string &sub, std::size_t from, bool cs)
{
    if (sub.empty() || sub.size() > s.size() || from > s.size() - sub.size())
        return npos;
    if (cs)
        return s.find(sub, from);
    const auto it = std::search(s.cbegin() + static_cast<std::ptrdiff_t>(from), s.cend(),
                                sub.cbegin(), sub.cend(),
                                [](char a, char b) { return lowerByte(a) == lowerByte(b); });
    return it == s.cend() ? npos : static_cast<std::size_t>(it - s.cbegin());
}

std::size_t lastIndexOf(const std::string &s, const std::string &sub, std::size_t from, bool cs)
{
    if (sub.empty() || sub.size() > s.size())
        return npos;
    if (cs)
        return s.rfind(sub, from);
    for (std::size_t i = std::min(from, s.size() - sub.size()) + 1; i-- > 0;) {
        if (sameBytes(s.data() + i, sub.data(), sub.size(), false))
            return i;
    }
    return npos;
}

bool contains(const std::string &s, char c)
{
    return s.find(c) != npos;
}

bool contains(const std::string &s, const std::string &sub, bool cs)
{
    return sub.empty() || indexOf(s, sub, 0, cs) != npos;
}

bool contains(const std::vector<std::string> &list, const std::string &s, bool cs)
{
    return std::any_of(list.cbegin(), list.cend(),
                       [&](const std::string &element) { return sameText(element, s, cs); });
}

std::size_t count(const std::string &s, const std::string &sub, bool cs)
{
    std::size_t n = 0;
    for (std::size_t pos = indexOf(s, sub, 0, cs); pos != npos;
         pos = indexOf(s, sub, pos + sub.size(), cs))
        ++n;
    return n;
}

std::size_t count(const std::string &s, char c, bool cs)
{
    return static_cast<std::size_t>(
        std::count_if(s.cbegin(), s.cend(), [&](char x) { return sameByte(x, c, cs); }));
}

bool startsWith(const std::string &s, const std::string &prefix, bool cs)
{
    return prefix.size() <= s.size() && sameBytes(s.data(), prefix.data(), prefix.size(), cs);
}

bool startsWith(const std::string &s, char c, bool cs)
{
    return !s.empty() && sameByte(s.front(), c, cs);
}

bool endsWith(const std::string &s, const std::string &suffix, bool cs)
{
    return suffix.size() <= s.size()
           && sameBytes(s.data() + (s.size() - suffix.size()), suffix.data(), suffix.size(), cs);
}

bool endsWith(const std::string &s, char c, bool cs)
{
    return !s.empty() && sameByte(s.back(), c, cs);
}

int compare(const std::string &a, const std::string &b, bool cs, std::size_t pos, std::size_t n)
{
    if (cs)
        return a.compare(pos, n, b);
    return toLower(a).compare(pos, n, toLower(b));
}

bool equals(const std::string &a, const std::string &b, bool cs, std::size_t pos, std::size_t n)
{
    return a.size() == b.size() && compare(a, b, cs, pos, n) == 0;
}

// Editing

std::string left(const std::string &s, std::ptrdiff_t n)
{
    if (n < 0 || static_cast<std::size_t>(n) >= s.size())
        return s;
    return s.substr(0, static_cast<std::size_t>(n));
}

std::string right(const std::string &s, std::ptrdiff_t n)
{
    if (n >= 0 && static_cast<std::size_t>(n) >= s.size())
        return s;
    // A negative n puts the start past the end: substr throws std::out_of_range.
    return s.substr(s.size() - static_cast<std::size_t>(n));
}

std::string toLower(const std::string &s)
{
    return toLower(std::string(s));
}

std::string toLower(std::string &&s)
{
    std::transform(s.begin(), s.end(), s.begin(), lowerByte);
    return std::move(s);
}

std::string toUpper(const std::string &s)
{
    return toUpper(std::string(s));
}

std::string toUpper(std::string &&s)
{
    std::transform(s.begin(), s.end(), s.begin(), upperByte);
    return std::move(s);
}

std::string toLower(char c)
{
    return std::string(1, lowerByte(c));
}

std::string toUpper(char c)
{
    return std::string(1, upperByte(c));
}

std::string &replace(std::string &s, const std::string &before, const std::string &after, bool cs)
{
    std::size_t pos = indexOf(s, before, 0, cs);
    if (pos == npos)
        return s;
    std::string out;
    out.reserve(s.size());
    std::size_t last = 0;
    while (pos != npos) {
        out.append(s, last, pos - last);
        out += after;
        last = pos + before.size();
        pos = indexOf(s, before, last, cs);
    }
    out.append(s, last);
    s = std::move(out);
    return s;
}

std::string replace(const std::string &s, const std::string &before, const std::string &after,
                    bool cs)
{
    std::string copy = s;
    replace(copy, before, after, cs);
    return copy;
}

std::string &remove(std::string &s, const std::string &sub, bool cs)
{
    return replace(s, sub, std::string(), cs);
}

std::string &trim(std::string &s)
{
    const std::locale locale;
    const auto &ctype = std::use_facet<std::ctype<char>>(locale);
    const auto isSpace = [&](char c) { return ctype.is(std::ctype_base::space, c); };
    const auto first = std::find_if_not(s.cbegin(), s.cend(), isSpace);
    if (first == s.cend()) {
        s.clear();
        return s;
    }
    const auto last = std::find_if_not(s.crbegin(), s.crend(), isSpace).base();
    s = std::string(first, last);
    return s;
}

std::string trimmed(const std::string &s)
{
    std::string copy = s;
    return trim(copy);
}

std::string trimmed(std::string &&s)
{
    trim(s);
    return std::move(s);
}

std::string &simplify(std::string &s)
{
    trim(s);
    std::string out;
    out.reserve(s.size());
    bool inRun = false;
    for (char c : s) {
        if (isAsciiSpace(c)) {
            if (!inRun)
                out += ' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    // Only reachable if the global locale does not count some ASCII white space as space.
    if (!out.empty() && out.back() == ' ')
        out.pop_back();
    s = std::move(out);
    return s;
}

std::string simplified(const std::string &s)
{
    std::string copy = s;
    return simplify(copy);
}

std::string simplified(std::string &&s)
{
    simplify(s);
    return std::move(s);
}

namespace {
template<typename Container>
std::string joined(const Container &items, const std::string &sep)
{
    std::string out;
    bool first = true;
    for (const auto &item : items) {
        if (!first)
            out += sep;
        out += item;
        first = false;
    }
    return out;
}
} // namespace

std::string join(const std::vector<std::string> &list, const std::string &sep)
{
    return joined(list, sep);
}

std::string join(const std::unordered_set<std::string> &set, const std::string &sep)
{
    return joined(set, sep);
}

std::string section(const std::string &s, const std::string &sep, qsizetype start, qsizetype end,
                    QString::SectionFlags flags)
{
    return S(Q(s).section(Q(sep), start, end, flags));
}

std::string sectionEx(const std::string &s, const std::string &pattern, qsizetype start,
                      qsizetype end, QString::SectionFlags flags)
{
    const QRegularExpression re(Q(pattern));
    if (!re.isValid())
        return {};
    return S(Q(s).section(re, start, end, flags));
}

std::vector<std::string> split(const std::string &s, const std::string &sep, bool keepEmpty,
                               bool cs)
{
    if (s.empty())
        return {};
    if (sep.empty())
        return {s};
    std::vector<std::string> pieces;
    std::size_t last = 0;
    for (std::size_t pos = indexOf(s, sep, 0, cs); pos != npos;
         pos = indexOf(s, sep, last, cs)) {
        if (keepEmpty || pos > last)
            pieces.push_back(s.substr(last, pos - last));
        last = pos + sep.size();
    }
    if (keepEmpty || last < s.size())
        pieces.push_back(s.substr(last));
    return pieces;
}

std::vector<std::string> split(const std::string &s, char sep, bool keepEmpty, bool cs)
{
    return split(s, std::string(1, sep), keepEmpty, cs);
}

std::vector<std::string> filter(const std::vector<std::string> &list, const std::string &s, bool cs)
{
    std::vector<std::string> out;
    std::copy_if(list.cbegin(), list.cend(), std::back_inserter(out),
                 [&](const std::string &element) { return sameText(element, s, cs); });
    return out;
}

// Regular expressions

std::size_t indexOf(const std::string &s, const boost::regex &re, std::size_t from)
{
    if (from > s.size())
        return npos;
    const auto begin = s.cbegin() + static_cast<std::ptrdiff_t>(from);
    boost::match_flag_type flags = boost::match_default;
    if (from > 0)
        flags |= boost::match_prev_avail;
    boost::smatch match;
    if (!boost::regex_search(begin, s.cend(), match, re, flags, s.cbegin()))
        return npos;
    return static_cast<std::size_t>(match[0].first - s.cbegin());
}

std::size_t indexOfEx(const std::string &s, const std::string &pattern, std::size_t from)
{
    return indexOf(s, compile(pattern, true), from);
}

std::size_t lastIndexOf(const std::string &s, const boost::regex &re, std::size_t from)
{
    std::size_t found = npos;
    for (boost::sregex_iterator it(s.cbegin(), s.cend(), re), end; it != end; ++it) {
        const auto start = static_cast<std::size_t>((*it)[0].first - s.cbegin());
        if (start > from)
            break;
        found = start;
    }
    return found;
}

std::size_t lastIndexOfEx(const std::string &s, const std::string &pattern, std::size_t from)
{
    return lastIndexOf(s, compile(pattern, true), from);
}

bool containsEx(const std::string &s, const std::string &pattern)
{
    return indexOfEx(s, pattern, 0) != npos;
}

bool startsWithEx(const std::string &s, const std::string &pattern, bool cs)
{
    return boost::regex_search(s, compile(pattern, cs), boost::match_continuous);
}

bool endsWithEx(const std::string &s, const std::string &pattern, bool cs)
{
    try {
        const boost::regex re = compile(pattern, cs);
        bool lastEndsAtEnd = false;
        for (boost::sregex_iterator it(s.cbegin(), s.cend(), re), end; it != end; ++it)
            lastEndsAtEnd = (*it)[0].second == s.cend();
        return lastEndsAtEnd;
    } catch (const std::runtime_error &e) {
        reportRegexError(e);
        return false;
    }
}

std::vector<std::string> split(const std::string &s, const boost::regex &re, bool keepEmpty)
{
    if (s.empty())
        return {};
    std::vector<std::string> pieces;
    auto last = s.cbegin();
    for (boost::sregex_iterator it(s.cbegin(), s.cend(), re), end; it != end; ++it) {
        const auto &match = (*it)[0];
        if (keepEmpty || match.first != last)
            pieces.emplace_back(last, match.first);
        last = match.second;
    }
    if (keepEmpty || last != s.cend())
        pieces.emplace_back(last, s.cend());
    return pieces;
}

std::vector<std::string> splitEx(const std::string &s, const std::string &pattern, bool keepEmpty,
                                 bool cs)
{
    if (pattern.empty())
        return s.empty() ? std::vector<std::string>() : std::vector<std::string>{s};
    const boost::regex re = compile(pattern, cs);
    return split(s, re, keepEmpty);
}

std::string &replace(std::string &s, const boost::regex &re, const std::string &after)
{
    s = replaced(s, re, after);
    return s;
}

std::string replace(const std::string &s, const boost::regex &re, const std::string &after)
{
    return replaced(s, re, after);
}

std::string &replaceEx(std::string &s, const std::string &pattern, const std::string &after,
                       bool cs)
{
    if (pattern.empty())
        return s;
    try {
        std::string out = replaced(s, compile(pattern, cs), after);
        s = std::move(out);
    } catch (const std::runtime_error &e) {
        reportRegexError(e);
    }
    return s;
}

std::string replaceEx(const std::string &s, const std::string &pattern, const std::string &after,
                      bool cs)
{
    std::string copy = s;
    replaceEx(copy, pattern, after, cs);
    return copy;
}

std::string &remove(std::string &s, const boost::regex &re)
{
    return replace(s, re, std::string());
}

std::string &removeEx(std::string &s, const std::string &pattern, bool cs)
{
    return replaceEx(s, pattern, std::string(), cs);
}

bool exactMatch(const std::string &s, const boost::regex &re)
{
    return boost::regex_match(s, re);
}

bool exactMatchEx(const std::string &s, const std::string &pattern)
{
    return boost::regex_match(s, compile(pattern, true));
}

std::vector<std::string> filterEx(const std::vector<std::string> &list, const std::string &pattern)
{
    const boost::regex re = compile(pattern, true);
    std::vector<std::string> out;
    std::copy_if(list.cbegin(), list.cend(), std::back_inserter(out),
                 [&](const std::string &element) { return boost::regex_match(element, re); });
    return out;
}
