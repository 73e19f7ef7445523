#include "util/HXBStringUtils.h"

#include <QTextStream>

#include <boost/regex.hpp>

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr auto npos = std::string::npos;
using List = std::vector<std::string>;
using WString = std::basic_string<wchar_t>;

const std::string replacement = "\xEF\xBF\xBD";

// --- Searching and testing --------------------------------------------------------------------

struct SearchRow
{
    std::string s;
    std::string sub;
    std::size_t from;
    bool cs;
    std::size_t expected;
};

TEST(HXBStringSearchTest, IndexOf)
{
    const SearchRow rows[] = {
        {"abc", "BC", 0, false, 1},
        {"abc", "bc", 0, true, 1},
        {"abc", "BC", 0, true, npos},
        {"abc", "ABC", 0, false, 0},
        {"abc", "", 0, true, npos},
        {"abc", "", 0, false, npos},
        {"ab", "abc", 0, true, npos},
        {"ab", "ABC", 0, false, npos},
        {"abcabc", "bc", 2, true, 4},
        {"abcabc", "BC", 2, false, 4},
        {"abcabc", "BC", 5, false, npos},
        {"abc", "c", 2, true, 2},
        {"abc", "c", 3, true, npos},
        {"abc", "c", 100, false, npos},
        {"\xC3\xA4" "bc", "BC", 0, false, 2},
        // Bytes of multi-byte characters are never case-mapped.
        {"\xC3\x84", "\xC3\xA4", 0, false, npos},
    };
    for (const auto &row : rows)
        EXPECT_EQ(indexOf(row.s, row.sub, row.from, row.cs), row.expected)
            << row.s << " / " << row.sub << " from " << row.from << " cs " << row.cs;
}

TEST(HXBStringSearchTest, LastIndexOf)
{
    const SearchRow rows[] = {
        {"abcabc", "ABC", npos, false, 3},
        {"abc", "ABC", npos, false, 0},
        {"abcabc", "abc", npos, true, 3},
        {"abcabc", "ABC", npos, true, npos},
        {"abcabc", "abc", 2, true, 0},
        {"abcabc", "ABC", 2, false, 0},
        {"abcabc", "abc", 3, true, 3},
        {"abcabc", "ABC", 3, false, 3},
        {"aaa", "AA", npos, false, 1},
        {"abc", "", npos, true, npos},
        {"abc", "", npos, false, npos},
        {"ab", "abc", npos, false, npos},
        {"abcabc", "x", npos, false, npos},
    };
    for (const auto &row : rows)
        EXPECT_EQ(lastIndexOf(row.s, row.sub, row.from, row.cs), row.expected)
            << row.s << " / " << row.sub << " from " << row.from << " cs " << row.cs;
}

TEST(HXBStringSearchTest, ContainsSubstringCharAndListElement)
{
    EXPECT_TRUE(contains("abc", ""s));
    EXPECT_TRUE(contains("", ""s));
    EXPECT_TRUE(contains("abc", "B"s, false));
    EXPECT_FALSE(contains("abc", "B"s, true));
    EXPECT_TRUE(contains("abc", 'b'));
    EXPECT_FALSE(contains("abc", 'B'));

    // A list contains whole elements, not substrings of them.
    EXPECT_FALSE(contains(List{"abc", "b"}, "a"));
    EXPECT_TRUE(contains(List{"abc", "b"}, "b"));
    EXPECT_TRUE(contains(List{"abc", "B"}, "b", false));
    EXPECT_FALSE(contains(List{"abc", "B"}, "b", true));
    EXPECT_FALSE(contains(List{}, ""));
}

TEST(HXBStringSearchTest, CountIsNonOverlapping)
{
    EXPECT_EQ(count("aaaa", "aa"s), 2u);
    EXPECT_EQ(count("aaa", "aa"s), 1u);
    EXPECT_EQ(count("aAaA", "aa"s, false), 2u);
    EXPECT_EQ(count("aAaA", "aa"s, true), 0u);
    EXPECT_EQ(count("abc", ""s), 0u);
    EXPECT_EQ(count("", "a"s), 0u);
    EXPECT_EQ(count("aAb", 'A', false), 2u);
    EXPECT_EQ(count("aAb", 'A', true), 1u);
}

TEST(HXBStringSearchTest, StartsWithAndEndsWith)
{
    EXPECT_TRUE(startsWith("abc", ""s));
    EXPECT_TRUE(startsWith("", ""s));
    EXPECT_TRUE(startsWith("abc", "AB"s, false));
    EXPECT_FALSE(startsWith("abc", "AB"s, true));
    EXPECT_FALSE(startsWith("ab", "abc"s));
    EXPECT_FALSE(startsWith("", 'a'));
    EXPECT_FALSE(startsWith("", '\0'));
    EXPECT_TRUE(startsWith("abc", 'A', false));
    EXPECT_FALSE(startsWith("abc", 'A', true));

    EXPECT_TRUE(endsWith("abc", ""s));
    EXPECT_TRUE(endsWith("abc", "BC"s, false));
    EXPECT_FALSE(endsWith("abc", "BC"s, true));
    EXPECT_FALSE(endsWith("bc", "abc"s));
    EXPECT_FALSE(endsWith("", 'c'));
    EXPECT_FALSE(endsWith("", '\0'));
    EXPECT_TRUE(endsWith("abc", 'C', false));
    EXPECT_FALSE(endsWith("abc", 'b'));
}

TEST(HXBStringSearchTest, CompareAndEquals)
{
    EXPECT_EQ(compare("abc", "ABC", false), 0);
    EXPECT_GT(compare("abc", "ABC", true), 0);
    EXPECT_LT(compare("abc", "abd"), 0);
    EXPECT_LT(compare("ab", "abc"), 0);
    EXPECT_GT(compare("abc", "ab"), 0);
    EXPECT_EQ(compare("xabc", "abc", true, 1), 0);
    EXPECT_EQ(compare("xABCd", "abc", false, 1, 3), 0);
    // Bytes compare unsigned: UTF-8 sorts after ASCII.
    EXPECT_GT(compare("\xC3\xA4", "z"), 0);
    EXPECT_THROW(compare("abc", "abc", true, 4), std::out_of_range);
    EXPECT_THROW(compare("abc", "abc", false, 4), std::out_of_range);

    EXPECT_TRUE(equals("abc", "ABC", false));
    EXPECT_FALSE(equals("abc", "ABC", true));
    EXPECT_FALSE(equals("abc", "abcd"));
    EXPECT_FALSE(equals("abc", "abcd", true, 10)); // lengths differ: no exception
}

// --- Editing ----------------------------------------------------------------------------------

TEST(HXBStringEditTest, LeftAndRight)
{
    EXPECT_EQ(left("abc", 2), "ab");
    EXPECT_EQ(left("abc", 0), "");
    EXPECT_EQ(left("abc", 5), "abc");
    EXPECT_EQ(left("abc", -1), "abc");
    EXPECT_EQ(right("abc", 2), "bc");
    EXPECT_EQ(right("abc", 0), "");
    EXPECT_EQ(right("abc", 5), "abc");
    EXPECT_THROW(right("abc", -1), std::out_of_range);
    EXPECT_THROW(right("", -1), std::out_of_range);
}

TEST(HXBStringEditTest, CaseMappingKeepsUtf8Intact)
{
    EXPECT_EQ(toLower("\xC3\x84" "bC-1"s), "\xC3\x84" "bc-1");
    EXPECT_EQ(toUpper("\xC3\xA4" "bC-1"s), "\xC3\xA4" "BC-1");
    const std::string original = "MiXeD";
    EXPECT_EQ(toLower(original), "mixed");
    EXPECT_EQ(original, "MiXeD");
    EXPECT_EQ(toUpper(std::string("mixed")), "MIXED");
    EXPECT_EQ(toLower('Q'), "q");
    EXPECT_EQ(toUpper('q'), "Q");
    EXPECT_EQ(toUpper('1'), "1");
}

TEST(HXBStringEditTest, ReplaceResumesAfterInsertedText)
{
    std::string s = "aba";
    std::string &result = replace(s, "a", "aa");
    EXPECT_EQ(&result, &s);
    EXPECT_EQ(s, "aabaa");

    std::string t = "aaaa";
    replace(t, "aa", "a");
    EXPECT_EQ(t, "aa");

    std::string u = "aAb";
    replace(u, "a", "Xy", false);
    EXPECT_EQ(u, "XyXyb");

    std::string v = "abc";
    replace(v, "", "x");
    EXPECT_EQ(v, "abc");

    const std::string original = "a.b.c";
    EXPECT_EQ(replace(original, ".", "::"), "a::b::c");
    EXPECT_EQ(original, "a.b.c");

    std::string w = "Basic Basic abc";
    remove(w, "basic ", false);
    EXPECT_EQ(w, "abc");
}

TEST(HXBStringEditTest, TrimAndSimplify)
{
    EXPECT_EQ(trimmed("  \t a b \r\n"), "a b");
    EXPECT_EQ(trimmed(" \t\n "), "");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("x"), "x");
    std::string s = "  y  ";
    EXPECT_EQ(&trim(s), &s);
    EXPECT_EQ(s, "y");

    EXPECT_EQ(simplified("  a \t\n b  "), "a b");
    EXPECT_EQ(simplified("a"), "a");
    EXPECT_EQ(simplified(" \n "), "");
    // U+00E0 is C3 A0; A0 must not be taken for a (Latin-1) no-break space.
    EXPECT_EQ(simplified("x  \xC3\xA0  y"), "x \xC3\xA0 y");
    EXPECT_EQ(simplified("\xC3\xA0 \t \xC3\xA0"), "\xC3\xA0 \xC3\xA0");
    std::string t = " p \v\f q ";
    simplify(t);
    EXPECT_EQ(t, "p q");
}

TEST(HXBStringEditTest, Join)
{
    EXPECT_EQ(join(List{"a", "b", "c"}, ", "), "a, b, c");
    EXPECT_EQ(join(List{"a"}, ", "), "a");
    EXPECT_EQ(join(List{}, ", "), "");
    EXPECT_EQ(join(List{"", ""}, "-"), "-");
    EXPECT_EQ(join(std::unordered_set<std::string>{"only"}, ", "), "only");
    EXPECT_EQ(join(std::unordered_set<std::string>{}, ", "), "");
    const std::string two = join(std::unordered_set<std::string>{"a", "b"}, "+");
    EXPECT_TRUE(two == "a+b" || two == "b+a") << two;
}

struct SplitRow
{
    std::string s;
    std::string sep;
    bool keepEmpty;
    bool cs;
    List expected;
};

TEST(HXBStringEditTest, SplitStringAndChar)
{
    const SplitRow rows[] = {
        {"a,,b", ",", false, true, {"a", "b"}},
        {"a,,b", ",", true, true, {"a", "", "b"}},
        {",a,", ",", true, true, {"", "a", ""}},
        {",a,", ",", false, true, {"a"}},
        {",", ",", false, true, {}},
        {"", ",", true, true, {}},
        {"abc", ",", true, true, {"abc"}},
        // Found case-insensitively, cut from the original.
        {"AxBXc", "x", true, false, {"A", "B", "c"}},
        {"AxBXc", "x", true, true, {"A", "BXc"}},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(split(row.s, row.sep, row.keepEmpty, row.cs), row.expected)
            << row.s << " keepEmpty " << row.keepEmpty << " cs " << row.cs;
        EXPECT_EQ(split(row.s, row.sep.front(), row.keepEmpty, row.cs), row.expected)
            << row.s << " (char) keepEmpty " << row.keepEmpty << " cs " << row.cs;
    }
    EXPECT_EQ(split("abc", ""s), List{"abc"});
    EXPECT_EQ(split("a::b::", "::"s, true), (List{"a", "b", ""}));
    EXPECT_EQ(split("a,b", ','), (List{"a", "b"}));
}

TEST(HXBStringEditTest, FilterKeepsWholeStringMatches)
{
    EXPECT_EQ(filter(List{"a", "A", "b"}, "a", false), (List{"a", "A"}));
    EXPECT_EQ(filter(List{"a", "A", "b"}, "a", true), List{"a"});
    EXPECT_EQ(filter(List{"ab", "ba"}, "a"), List{});
}

TEST(HXBStringEditTest, Section)
{
    EXPECT_EQ(section("a/b/c", "/", 1, 1), "b");
    EXPECT_EQ(section("a/b/c", "/", 1), "b/c");
    EXPECT_EQ(section("a/b/c", "/", -1), "c");
    EXPECT_EQ(section("/a/b", "/", 0, 0, QString::SectionSkipEmpty), "a");
    EXPECT_EQ(section("\xC3\xA4/\xC3\xB6", "/", 1), "\xC3\xB6");
    EXPECT_EQ(sectionEx("a1b22c", "\\d+", 2), "c");
    EXPECT_EQ(sectionEx("a1b22c", "(", 0), "");
}

// --- Numbers ----------------------------------------------------------------------------------

template<typename T>
struct NumberRow
{
    std::string text;
    T value;
    bool ok;
};

template<typename T, typename Fn>
void checkRows(std::initializer_list<NumberRow<T>> rows, Fn parse)
{
    for (const auto &row : rows) {
        bool ok = !row.ok;
        EXPECT_EQ(parse(row.text, &ok), row.value) << '"' << row.text << '"';
        EXPECT_EQ(ok, row.ok) << '"' << row.text << '"';
    }
}

TEST(HXBStringNumberTest, ToInt)
{
    checkRows<int>({{"12abc", 12, false},
                    {"", 0, false},
                    {"   ", 0, false},
                    {"abc", 0, false},
                    {"  42", 42, true},
                    {"\n42", 42, true},
                    {"42 ", 42, false},
                    {"42\n", 42, false},
                    {"-7", -7, true},
                    {"+7", 7, true},
                    {"0x10", 0, false},
                    {"2147483647", INT_MAX, true},
                    {"2147483648", INT_MAX, false},
                    {"-2147483649", INT_MIN, false},
                    {"99999999999999999999", INT_MAX, false},
                    {"1\0"s "2", 1, false}},
                   [](const std::string &s, bool *ok) { return toInt(s, ok); });
    EXPECT_EQ(toInt("5"), 5); // ok may be null
}

TEST(HXBStringNumberTest, ToUnsigned)
{
    checkRows<unsigned>({{"4294967295", UINT_MAX, true},
                         {"4294967296", UINT_MAX, false},
                         {"-1", 0, false},
                         {" -3x", 0, false},
                         {"-0", 0, true},
                         {"7", 7, true}},
                        [](const std::string &s, bool *ok) { return toUInt(s, ok); });
    checkRows<unsigned long>({{"18446744073709551615", ULONG_MAX, true},
                              {"18446744073709551616", ULONG_MAX, false},
                              {"-5", 0, false},
                              {"5b", 5, false}},
                             [](const std::string &s, bool *ok) { return toULong(s, ok); });
    checkRows<unsigned long long>(
        {{"18446744073709551615", ULLONG_MAX, true},
         {"-18446744073709551615", 0, false},
         {"", 0, false}},
        [](const std::string &s, bool *ok) { return toULongLong(s, ok); });
}

TEST(HXBStringNumberTest, ToLongLong)
{
    checkRows<long long>({{"9223372036854775807", LLONG_MAX, true},
                          {"9223372036854775808", LLONG_MAX, false},
                          {"-9223372036854775808", LLONG_MIN, true},
                          {" -12", -12, true},
                          {"12.5", 12, false}},
                         [](const std::string &s, bool *ok) { return toLongLong(s, ok); });
}

TEST(HXBStringNumberTest, ToDouble)
{
    checkRows<double>({{"1.5", 1.5, true},
                       {"1.5x", 1.5, false},
                       {" 2e3", 2000.0, true},
                       {"-0.25", -0.25, true},
                       {"", 0.0, false},
                       {".", 0.0, false},
                       {"1e999", HUGE_VAL, false},
                       {"-1e999", -HUGE_VAL, false}},
                      [](const std::string &s, bool *ok) { return toDouble(s, ok); });
    bool ok = false;
    EXPECT_GT(toDouble("1e-320", &ok), 0.0);
    EXPECT_TRUE(ok);
}

TEST(HXBStringNumberTest, FromNumberDouble)
{
    EXPECT_EQ(fromNumber(-0.0, 'f', 2), "-0.00");
    EXPECT_EQ(fromNumber(-0.0, 'g', 1), "0");
    EXPECT_EQ(fromNumber(-0.4, 'f', 0), "0");
    EXPECT_EQ(fromNumber(-1.0, 'g', 1), "-1");
    EXPECT_EQ(fromNumber(1.5, 'f', 2), "1.50");
    EXPECT_EQ(fromNumber(1234.5, 'e', 2), "1.23e+03");
    EXPECT_EQ(fromNumber(1234.5, 'E', 2), "1.23E+03");
    EXPECT_EQ(fromNumber(0.1), "0.1");
    EXPECT_EQ(fromNumber(2.5, 'd', 3), "2.5"); // not a floating-point format: 'g'
    EXPECT_EQ(fromNumber(2.5, '\0', 3), "2.5");
    // Longer than any fixed buffer: not cut off.
    const std::string big = fromNumber(1e300, 'f', 0);
    EXPECT_EQ(big.size(), 301u);
    EXPECT_EQ(big.substr(0, 17), "10000000000000000");
    EXPECT_EQ(fromNumber(1.0 / 3, 'f', 60).size(), 62u);
}

TEST(HXBStringNumberTest, FromNumberIntegers)
{
    EXPECT_EQ(fromNumber(-5), "-5");
    EXPECT_EQ(fromNumber(INT_MIN, 10), "-2147483648");
    EXPECT_EQ(fromNumber(UINT_MAX), "4294967295");
    EXPECT_EQ(fromNumber(LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(fromNumber(ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(fromNumber(42UL, 16), "42");
}

TEST(HXBStringNumberTest, DecimalPointIgnoresLocale)
{
    const char *const candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"};
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    const char *chosen = nullptr;
    for (const char *name : candidates) {
        if (std::setlocale(LC_NUMERIC, name)) {
            chosen = name;
            break;
        }
    }
    if (!chosen)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    bool ok = false;
    const double value = toDouble("1.5", &ok);
    const std::string text = fromNumber(1.5, 'f', 1);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(value, 1.5);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, "1.5");
}

// --- Unicode and conversions -------------------------------------------------------------------

TEST(HXBStringUnicodeTest, Narrow)
{
    const std::pair<WString, std::string> rows[] = {
        {L"A", "A"},
        {WString(1, 0xE4), "\xC3\xA4"},
        {WString(1, 0x20AC), "\xE2\x82\xAC"},
        {WString(1, 0x1F600), "\xF0\x9F\x98\x80"},
        {WString(1, 0x10FFFF), "\xF4\x8F\xBF\xBF"},
        {WString(1, 0), "\0"s},
        {WString(1, 0xD800), replacement},
        {WString(1, 0xDFFF), replacement},
        {WString(1, 0x110000), replacement},
        {WString(1, static_cast<wchar_t>(-1)), replacement},
        {WString{0x61, 0xD800, 0x62}, "a" + replacement + "b"},
    };
    for (const auto &[in, out] : rows)
        EXPECT_EQ(narrow(in), out) << "code point " << (in.empty() ? 0 : unsigned(in[0]));
}

TEST(HXBStringUnicodeTest, Widen)
{
    const WString fffd(1, 0xFFFD);
    const std::pair<std::string, WString> rows[] = {
        {"A", L"A"},
        {"", L""},
        {"\xC3\xA4", WString(1, 0xE4)},
        {"\xE2\x82\xAC", WString(1, 0x20AC)},
        {"\xF0\x9F\x98\x80", WString(1, 0x1F600)},
        {"\xF4\x8F\xBF\xBF", WString(1, 0x10FFFF)},
        {"\x80", fffd},
        {"\xFF", fffd},
        // Rejected sequence: one U+FFFD for the lead byte, then decoding goes on with the next.
        {"\xC0\xAF", fffd + fffd},                                  // overlong
        {"\xE0\x80\xAF", fffd + fffd + fffd},                       // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},                       // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},            // above 10FFFF
        {"\xE2\x82", fffd + fffd},                                  // truncated
        {"\xE2\x82" "A", fffd + fffd + L"A"},                       // truncated
        {"\xC3" "A\xC3\xA4", fffd + L"A" + WString(1, 0xE4)},       // bad continuation
        {"\xF8\x88\x80\x80\x80", fffd + fffd + fffd + fffd + fffd}, // five-byte form
    };
    for (const auto &[in, out] : rows) {
        EXPECT_EQ(widen(in), out) << "input of " << in.size() << " bytes";
    }
    const std::string valid = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(narrow(widen(valid)), valid);
}

TEST(HXBStringUnicodeTest, Base64)
{
    EXPECT_EQ(toBase64("hello"), "aGVsbG8=");
    EXPECT_EQ(toBase64(""), "");
    EXPECT_EQ(fromBase64("aGVsbG8="), "hello");
    EXPECT_EQ(fromBase64("aGVs\nbG8="), "hello"); // characters outside the alphabet are skipped
    EXPECT_EQ(fromBase64(toBase64("\xC3\xA4:x")), "\xC3\xA4:x");
    EXPECT_EQ(fromBase64(toBase64("a\xFF")), "a" + replacement);
}

TEST(HXBStringUnicodeTest, QtBridge)
{
    const std::string text = "gr\xC3\xBC\xC3\x9F" "e";
    EXPECT_EQ(Q(text), QString::fromUtf8("gr\xC3\xBC\xC3\x9F" "e"));
    EXPECT_EQ(Q(text).size(), 5);
    EXPECT_EQ(S(Q(text)), text);
    EXPECT_EQ(S(Q(std::string("a\0b", 3))).size(), 3u);
    EXPECT_EQ(S(Q(List{"a", text})), (List{"a", text}));

    List list;
    list << "x" << "y";
    EXPECT_EQ(list, (List{"x", "y"}));

    QString out;
    QTextStream stream(&out);
    stream << text << std::string("!");
    stream.flush();
    EXPECT_EQ(out, Q(text) + QLatin1Char('!'));
}

// --- Regular expressions ----------------------------------------------------------------------

TEST(HXBStringRegexTest, IndexOfAndLastIndexOf)
{
    EXPECT_EQ(indexOf("abcabc", boost::regex("b"), 2), 4u);
    EXPECT_EQ(indexOf("abc", boost::regex("b"), 4), npos);
    EXPECT_EQ(indexOfEx("abcabc", "B"), npos);
    EXPECT_EQ(indexOfEx("abcabc", "c"), 2u);
    EXPECT_EQ(indexOfEx("abc", "x*"), 0u);
    // Text before from still counts for anchors and word boundaries.
    EXPECT_EQ(indexOfEx("ab", "^b", 1), npos);
    EXPECT_EQ(indexOfEx("ab b", "\\bb", 1), 3u);
    EXPECT_EQ(indexOfEx("a\nb", "^b", 1), 2u);

    EXPECT_EQ(lastIndexOfEx("abcabc", "b"), 4u);
    EXPECT_EQ(lastIndexOfEx("abcabc", "b", 3), 1u);
    EXPECT_EQ(lastIndexOfEx("abcabc", "b", 4), 4u);
    EXPECT_EQ(lastIndexOfEx("abcabc", "x"), npos);
    EXPECT_EQ(lastIndexOfEx("abc", "x*"), 3u);
    EXPECT_EQ(lastIndexOf("a1b22", boost::regex("\\d+")), 3u);

    EXPECT_TRUE(containsEx("job-42", "\\d"));
    EXPECT_FALSE(containsEx("job", "\\d"));
}

TEST(HXBStringRegexTest, StartsWithAndEndsWith)
{
    EXPECT_TRUE(startsWithEx("Hello", "hel", false));
    EXPECT_FALSE(startsWithEx("Hello", "hel", true));
    EXPECT_FALSE(startsWithEx("xhello", "hel"));
    EXPECT_TRUE(startsWithEx("", "x*"));
    // Escapes keep their meaning in a case-insensitive match.
    EXPECT_TRUE(startsWithEx("Abc", "\\D", false));
    EXPECT_FALSE(startsWithEx("1bc", "\\D", false));

    EXPECT_TRUE(endsWithEx("abc", "c"));
    EXPECT_TRUE(endsWithEx("abc", "b?c"));
    EXPECT_FALSE(endsWithEx("abcab", "c"));
    EXPECT_TRUE(endsWithEx("ABC", "c", false));
    EXPECT_FALSE(endsWithEx("ABC", "c", true));
    EXPECT_FALSE(endsWithEx("", "c"));
    EXPECT_TRUE(endsWithEx("abc", "x*"));
    EXPECT_TRUE(endsWithEx("", "x*"));
}

TEST(HXBStringRegexTest, Split)
{
    EXPECT_EQ(split("a1b22c", boost::regex("\\d+")), (List{"a", "b", "c"}));
    EXPECT_EQ(split("a,,b", boost::regex(","), false), (List{"a", "b"}));
    EXPECT_EQ(split("a,,b", boost::regex(","), true), (List{"a", "", "b"}));
    EXPECT_EQ(split("", boost::regex(",")), List{});
    EXPECT_EQ(split("abc", boost::regex("x*"), true), (List{"", "a", "b", "c", ""}));
    EXPECT_EQ(split("abc", boost::regex("x*"), false), (List{"a", "b", "c"}));

    EXPECT_EQ(splitEx("", ","), List{});
    EXPECT_EQ(splitEx("", ""), List{});
    EXPECT_EQ(splitEx("abc", ""), List{"abc"});
    EXPECT_EQ(splitEx("AxBXc", "x", true, false), (List{"A", "B", "c"}));
    EXPECT_EQ(splitEx("AxBXc", "x", true, true), (List{"A", "BXc"}));
    EXPECT_EQ(splitEx(" a  b ", "\\s+", false), (List{"a", "b"}));
}

TEST(HXBStringRegexTest, ReplaceIsLiteralAndTerminates)
{
    std::string s = "aXa";
    EXPECT_EQ(&replaceEx(s, "a", "aa"), &s);
    EXPECT_EQ(s, "aaXaa");

    EXPECT_EQ(replaceEx("abc"s, "x*", "-"), "-a-b-c-");
    EXPECT_EQ(replaceEx("ab"s, "(a)", "[$1\\1&]"), "[$1\\1&]b");
    EXPECT_EQ(replaceEx("aAb"s, "a", "x", false), "xxb");
    EXPECT_EQ(replaceEx("aAb"s, "a", "x", true), "xAb");
    EXPECT_EQ(replaceEx("aaa"s, "^a", ""), "aa");
    EXPECT_EQ(replaceEx("abc"s, "", "-"), "abc");

    const std::string original = "a1b22";
    EXPECT_EQ(replace(original, boost::regex("\\d+"), "#"), "a#b#");
    EXPECT_EQ(original, "a1b22");
    std::string t = original;
    replace(t, boost::regex("\\d"), "<\\d>");
    EXPECT_EQ(t, "a<\\d>b<\\d><\\d>");

    std::string u = "a1b22";
    remove(u, boost::regex("\\d+"));
    EXPECT_EQ(u, "ab");
    std::string v = "A1a2";
    removeEx(v, "a", false);
    EXPECT_EQ(v, "12");
}

TEST(HXBStringRegexTest, ExactMatchAndFilter)
{
    EXPECT_TRUE(exactMatchEx("abc", "a.c"));
    EXPECT_FALSE(exactMatchEx("abcd", "a.c"));
    EXPECT_FALSE(exactMatchEx("xabc", "a.c"));
    EXPECT_TRUE(exactMatch("job-7", boost::regex("job-\\d+")));
    EXPECT_FALSE(exactMatch("job-7x", boost::regex("job-\\d+")));
    EXPECT_EQ(filterEx(List{"a1", "b", "c22", "xa1", "a1x"}, "[a-z]\\d+"), (List{"a1", "c22"}));
}

TEST(HXBStringRegexTest, InvalidPatternPropagates)
{
    const std::string bad = "(";
    const std::vector<std::pair<const char *, std::function<void()>>> calls = {
        {"indexOfEx", [&] { indexOfEx("abc", bad); }},
        {"lastIndexOfEx", [&] { lastIndexOfEx("abc", bad); }},
        {"containsEx", [&] { containsEx("abc", bad); }},
        {"startsWithEx", [&] { startsWithEx("abc", bad); }},
        {"startsWithEx/ci", [&] { startsWithEx("abc", bad, false); }},
        {"splitEx", [&] { splitEx("abc", bad); }},
        {"splitEx/empty", [&] { splitEx("", bad); }},
        {"exactMatchEx", [&] { exactMatchEx("abc", bad); }},
        {"filterEx", [&] { filterEx(List{"abc"}, bad); }},
        {"filterEx/empty", [&] { filterEx(List{}, "[a-"); }},
    };
    for (const auto &[name, call] : calls)
        EXPECT_THROW(call(), boost::regex_error) << name;
}

TEST(HXBStringRegexTest, InvalidPatternIsReportedAndLeavesStringUnchanged)
{
    testing::internal::CaptureStdout();
    std::string s = "a(b";
    replaceEx(s, "(", "x");
    const std::string afterReplace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s, "a(b");
    ASSERT_FALSE(afterReplace.empty());
    EXPECT_EQ(afterReplace.back(), '\n');
    EXPECT_EQ(afterReplace.find('\n'), afterReplace.size() - 1);

    testing::internal::CaptureStdout();
    std::string t = "a[b";
    removeEx(t, "[", false);
    EXPECT_EQ(replaceEx("a(b"s, "(", "x"), "a(b");
    EXPECT_FALSE(endsWithEx("a(", "("));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(t, "a[b");
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << output;
}

} // namespace
