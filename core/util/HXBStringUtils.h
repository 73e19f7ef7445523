#pragma once

// String functions for UTF-8 std::string, and the bridge to QString (Q, S).
// Free functions in the global namespace; stateless and thread-safe.

#include <QList>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

QString Q(const std::string &s);
std::string S(const QString &s);
QStringList Q(const std::vector<std::string> &list);
std::vector<std::string> S(const QList<QString> &list);

std::string fromNumber(int value, int base = 10);
std::string fromNumber(unsigned int value, int base = 10);
std::string fromNumber(long value, int base = 10);
std::string fromNumber(unsigned long value, int base = 10);
std::string fromNumber(long long value, int base = 10);
std::string fromNumber(unsigned long long value, int base = 10);
