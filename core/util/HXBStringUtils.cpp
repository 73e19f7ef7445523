#include "HXBStringUtils.h"

#include <cstdio>

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
