#pragma once

// String functions for UTF-8 std::string, and the bridge to QString (Q, S).
// Free functions in the global namespace; stateless and thread-safe.
//
// Every character-level operation works on bytes. The case flag `cs` is true for an exact
// (case-sensitive) comparison and false for a comparison of ASCII-lower-cased bytes; bytes
// 0x80-0xFF are never case-mapped, so UTF-8 sequences stay intact. A failed search returns
// std::string::npos.
//
// Functions taking a boost::regex use the compiled expression as it is; the "Ex" forms compile
// their pattern (Perl syntax) on every call, case-insensitively where they take cs = false.
// Callers matching one pattern repeatedly should compile it once and use the boost::regex forms
// (they include <boost/regex.hpp> themselves; this header only declares boost::regex).

#include <QList>
#include <QString>
#include <QStringList>

#include <boost/regex_fwd.hpp>

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

class QTextStream;

// Conversions between std::string (UTF-8) and QString.

QString Q(const std::string &s);
std::string S(const QString &s);
QStringList Q(const std::vector<std::string> &list);
std::vector<std::string> S(const QList<QString> &list);

QTextStream &operator<<(QTextStream &stream, const std::string &s);
// Appends a copy of s; returns the list, so appends can be chained.
std::vector<std::string> &operator<<(std::vector<std::string> &list, const std::string &s);

// UTF-32 -> UTF-8. Code points in D800-DFFF, above 10FFFF (or negative) become U+FFFD.
std::string narrow(const std::basic_string<wchar_t> &s);
// UTF-8 -> UTF-32. Each invalid, truncated or overlong sequence, encoded surrogate or value above
// 10FFFF yields one U+FFFD, and decoding resumes at the byte after its lead byte.
std::basic_string<wchar_t> widen(const std::string &s);

// Standard Base64 with padding.
std::string toBase64(const std::string &s);
// Lenient Base64 decoding (characters outside the alphabet are skipped); invalid UTF-8 in the
// decoded bytes becomes U+FFFD. Not for binary data.
std::string fromBase64(const std::string &s);

void fSleep(unsigned ms);

// Number parsing, base 10 (toDouble: C syntax, '.' as decimal point whatever the locale).
// Leading white space is skipped. *ok (if ok is not null) is true only when the whole string was
// a number in the range of the return type. The empty string gives 0. Trailing characters give
// the value of the parsed prefix; a value out of range gives the nearest representable value
// (toDouble: +-HUGE_VAL); a negative number given to an unsigned conversion gives 0.
int toInt(const std::string &s, bool *ok = nullptr);
unsigned int toUInt(const std::string &s, bool *ok = nullptr);
long long toLongLong(const std::string &s, bool *ok = nullptr);
unsigned long toULong(const std::string &s, bool *ok = nullptr);
unsigned long long toULongLong(const std::string &s, bool *ok = nullptr);
double toDouble(const std::string &s, bool *ok = nullptr);

// Decimal text; base is accepted for compatibility and ignored.
std::string fromNumber(int value, int base = 10);
std::string fromNumber(unsigned int value, int base = 10);
std::string fromNumber(long value, int base = 10);
std::string fromNumber(unsigned long value, int base = 10);
std::string fromNumber(long long value, int base = 10);
std::string fromNumber(unsigned long long value, int base = 10);
// printf "%.*<format>" with '.' as decimal point; format is one of f F e E g G a A (anything
// else is taken as 'g'). The text "-0" is returned as "0"; "-0.00" and the like stay as they are.
std::string fromNumber(double value, char format = 'g', int precision = 6);

// Searching and testing.

// First occurrence of sub at or after from; npos for an empty sub or one longer than s.
std::size_t indexOf(const std::string &s, const std::string &sub, std::size_t from = 0,
                    bool cs = true);
// Start of the last occurrence that starts at or before from (npos: anywhere); npos for an empty
// sub or one longer than s.
std::size_t lastIndexOf(const std::string &s, const std::string &sub,
                        std::size_t from = std::string::npos, bool cs = true);
bool contains(const std::string &s, char c);
// An empty sub is contained in every string.
bool contains(const std::string &s, const std::string &sub, bool cs = true);
// Whether an element equals s as a whole.
bool contains(const std::vector<std::string> &list, const std::string &s, bool cs = true);
// Non-overlapping occurrences, left to right; an empty sub counts 0.
std::size_t count(const std::string &s, const std::string &sub, bool cs = true);
std::size_t count(const std::string &s, char c, bool cs = true);
bool startsWith(const std::string &s, const std::string &prefix, bool cs = true);
bool startsWith(const std::string &s, char c, bool cs = true);
bool endsWith(const std::string &s, const std::string &suffix, bool cs = true);
bool endsWith(const std::string &s, char c, bool cs = true);
// Like a.compare(pos, n, b). Throws std::out_of_range if pos > a.size().
int compare(const std::string &a, const std::string &b, bool cs = true, std::size_t pos = 0,
            std::size_t n = std::string::npos);
// False if a and b differ in length, else compare(a, b, cs, pos, n) == 0 (so it may throw when
// the lengths are equal and pos > a.size()).
bool equals(const std::string &a, const std::string &b, bool cs = true, std::size_t pos = 0,
            std::size_t n = std::string::npos);

// Editing.

// The first n bytes; all of s if n is negative or larger than s.
std::string left(const std::string &s, std::ptrdiff_t n);
// The last n bytes; all of s if n is larger than s. Throws std::out_of_range if n is negative.
std::string right(const std::string &s, std::ptrdiff_t n);
std::string toLower(const std::string &s);
std::string toLower(std::string &&s);
std::string toUpper(const std::string &s);
std::string toUpper(std::string &&s);
std::string toLower(char c);
std::string toUpper(char c);

// Replaces every non-overlapping occurrence of before, left to right; inserted text is never
// searched again. An empty before changes nothing. Returns s.
std::string &replace(std::string &s, const std::string &before, const std::string &after,
                     bool cs = true);
std::string replace(const std::string &s, const std::string &before, const std::string &after,
                    bool cs = true);
std::string &remove(std::string &s, const std::string &sub, bool cs = true);

// White space at both ends, as classified by the global std::locale.
std::string &trim(std::string &s);
std::string trimmed(const std::string &s);
std::string trimmed(std::string &&s);
// trim, then every inner run of ASCII white space becomes one blank.
std::string &simplify(std::string &s);
std::string simplified(const std::string &s);
std::string simplified(std::string &&s);

std::string join(const std::vector<std::string> &list, const std::string &sep);
// In the set's iteration order.
std::string join(const std::unordered_set<std::string> &set, const std::string &sep);

// QString::section on Q(s), the result converted back with S.
std::string section(const std::string &s, const std::string &sep, qsizetype start,
                    qsizetype end = -1, QString::SectionFlags flags = QString::SectionDefault);
// The same with QRegularExpression(pattern) as separator; an invalid pattern gives "".
std::string sectionEx(const std::string &s, const std::string &pattern, qsizetype start,
                      qsizetype end = -1, QString::SectionFlags flags = QString::SectionDefault);

// Pieces between the occurrences of sep (found case-insensitively when cs = false, cut from s
// itself). An empty s gives an empty list, an empty sep the list {s}.
std::vector<std::string> split(const std::string &s, const std::string &sep, bool keepEmpty = true,
                               bool cs = true);
std::vector<std::string> split(const std::string &s, char sep, bool keepEmpty = true,
                               bool cs = true);
// The elements equal to s as a whole, in order.
std::vector<std::string> filter(const std::vector<std::string> &list, const std::string &s,
                                bool cs = true);

// Regular expressions. The Ex forms throw boost::regex_error for an invalid pattern, except
// replaceEx, removeEx and endsWithEx: they write the error text and a line end to standard output
// and leave the string unchanged (endsWithEx returns false). Matching itself may throw
// std::runtime_error when an expression is too complex for the input (the same three catch it).

// Start of the first match at or after from (text before from still counts for anchors and \b).
std::size_t indexOf(const std::string &s, const boost::regex &re, std::size_t from = 0);
std::size_t indexOfEx(const std::string &s, const std::string &pattern, std::size_t from = 0);
// Scans successive matches from the start of s; the start of the last one that starts at or
// before from (npos: anywhere).
std::size_t lastIndexOf(const std::string &s, const boost::regex &re,
                        std::size_t from = std::string::npos);
std::size_t lastIndexOfEx(const std::string &s, const std::string &pattern,
                          std::size_t from = std::string::npos);
bool containsEx(const std::string &s, const std::string &pattern);
// Whether a match begins at position 0.
bool startsWithEx(const std::string &s, const std::string &pattern, bool cs = true);
// Whether the last of the successive matches ends at the end of s. A pattern that matches the
// empty string always has a last match at the end, so it gives true.
bool endsWithEx(const std::string &s, const std::string &pattern, bool cs = true);

// Pieces between the matches. An empty s gives an empty list (splitEx: an empty pattern the list
// {s}). An empty match splits too: "x*" cuts "abc" into "", "a", "b", "c", "".
std::vector<std::string> split(const std::string &s, const boost::regex &re,
                               bool keepEmpty = true);
std::vector<std::string> splitEx(const std::string &s, const std::string &pattern,
                                 bool keepEmpty = true, bool cs = true);

// Every match, left to right, is replaced by after taken literally (no back-references); the
// search goes on in the original text after the match, never in inserted text. As in Perl's
// s///g, an empty match inserts after there: "x*" -> "-" turns "abc" into "-a-b-c-".
std::string &replace(std::string &s, const boost::regex &re, const std::string &after);
std::string replace(const std::string &s, const boost::regex &re, const std::string &after);
std::string &replaceEx(std::string &s, const std::string &pattern, const std::string &after,
                       bool cs = true);
std::string replaceEx(const std::string &s, const std::string &pattern, const std::string &after,
                      bool cs = true);
std::string &remove(std::string &s, const boost::regex &re);
std::string &removeEx(std::string &s, const std::string &pattern, bool cs = true);

// Whether the whole of s matches.
bool exactMatch(const std::string &s, const boost::regex &re);
bool exactMatchEx(const std::string &s, const std::string &pattern);
// The elements that match as a whole, in order.
std::vector<std::string> filterEx(const std::vector<std::string> &list, const std::string &pattern);
