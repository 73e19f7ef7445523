#include "XmlRpcCodec.h"

#include <QDateTime>
#include <QIODevice>
#include <QLocale>
#include <QStringList>
#include <QTimeZone>
#include <QVariantHash>
#include <QVariantMap>
#include <QXmlStreamReader>

#include <optional>
#include <string_view>
#include <utility>

namespace {

// Client-supplied names quoted in fault strings are cut to this length.
constexpr qsizetype maxQuotedName = 64;

QString quoted(QStringView name)
{
    return QLatin1Char('<') + name.left(maxQuotedName).toString() + QLatin1Char('>');
}

bool isBlank(QStringView text)
{
    for (QChar c : text) {
        if (!c.isSpace())
            return false;
    }
    return true;
}

// --- dateTime.iso8601 ------------------------------------------------------------------------

bool takeDigits(QStringView s, qsizetype &pos, int count, int &value)
{
    if (pos + count > s.size())
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = s[pos + i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
    }
    pos += count;
    return true;
}

bool takeChar(QStringView s, qsizetype &pos, char16_t c)
{
    if (pos >= s.size() || s[pos] != c)
        return false;
    ++pos;
    return true;
}

// "yyyyMMddTHH:mm:ss" or "yyyy-MM-ddTHH:mm:ss", then nothing, "Z", "+hh:mm", "+hhmm" or "+hh".
QDateTime parseDateTime(QStringView s)
{
    qsizetype pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!takeDigits(s, pos, 4, year))
        return {};
    const bool dashes = takeChar(s, pos, u'-');
    if (!takeDigits(s, pos, 2, month) || (dashes && !takeChar(s, pos, u'-'))
        || !takeDigits(s, pos, 2, day) || !takeChar(s, pos, u'T') || !takeDigits(s, pos, 2, hour)
        || !takeChar(s, pos, u':') || !takeDigits(s, pos, 2, minute) || !takeChar(s, pos, u':')
        || !takeDigits(s, pos, 2, second))
        return {};
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid())
        return {};
    if (pos == s.size())
        return QDateTime(date, time, Qt::LocalTime);
    if (takeChar(s, pos, u'Z'))
        return pos == s.size() ? QDateTime(date, time, Qt::UTC) : QDateTime();
    const bool negative = s[pos] == u'-';
    if (!takeChar(s, pos, u'+') && !takeChar(s, pos, u'-'))
        return {};
    int offsetHours = 0, offsetMinutes = 0;
    if (!takeDigits(s, pos, 2, offsetHours))
        return {};
    if (pos < s.size()) {
        takeChar(s, pos, u':');
        if (!takeDigits(s, pos, 2, offsetMinutes))
            return {};
    }
    if (pos != s.size() || offsetHours > 14 || offsetMinutes > 59)
        return {};
    const int offset = (offsetHours * 3600 + offsetMinutes * 60) * (negative ? -1 : 1);
    return QDateTime(date, time, Qt::OffsetFromUTC, offset);
}

// --- Decoding --------------------------------------------------------------------------------

// Recursive descent over the methodCall grammar. Every step returns false once a fault has
// been recorded; the first fault wins.
class CallDecoder
{
public:
    explicit CallDecoder(QXmlStreamReader &reader)
        : mReader(reader)
    { }

    XmlRpcCall run()
    {
        XmlRpcCall call;
        if (decodeMethodCall(call) && finishDocument())
            return call;
        return XmlRpcCall {{}, {}, mFault, mError};
    }

private:
    enum class Tag { Start, End, Failed };

    bool fail(XmlRpcFault fault, const QString &error)
    {
        if (mFault == XmlRpcFault::None) {
            mFault = fault;
            mError = error;
        }
        return false;
    }

    bool failFromReader()
    {
        const auto error = mReader.error();
        const XmlRpcFault fault = error == QXmlStreamReader::UnexpectedElementError
            ? XmlRpcFault::InvalidRequest
            : XmlRpcFault::ParseError;
        return fail(fault,
                    QStringLiteral("%1 (line %2, column %3)")
                        .arg(mReader.errorString())
                        .arg(mReader.lineNumber())
                        .arg(mReader.columnNumber()));
    }

    // The next token that matters: comments and processing instructions are skipped, a DTD or
    // an unresolved entity reference is refused.
    bool readToken()
    {
        for (;;) {
            const auto token = mReader.readNext();
            if (mReader.hasError())
                return failFromReader();
            switch (token) {
            case QXmlStreamReader::StartDocument:
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
                continue;
            case QXmlStreamReader::DTD:
                return fail(XmlRpcFault::ParseError,
                            QStringLiteral("document type declarations are not accepted"));
            case QXmlStreamReader::EntityReference:
                return fail(XmlRpcFault::ParseError,
                            QStringLiteral("unresolved entity reference &%1;")
                                .arg(mReader.name().left(maxQuotedName)));
            default:
                return true;
            }
        }
    }

    // The next start or end tag, with only white space before it.
    Tag nextTag()
    {
        for (;;) {
            if (!readToken())
                return Tag::Failed;
            switch (mReader.tokenType()) {
            case QXmlStreamReader::StartElement:
                return Tag::Start;
            case QXmlStreamReader::EndElement:
                return Tag::End;
            case QXmlStreamReader::Characters:
                if (mReader.isWhitespace() || isBlank(mReader.text()))
                    continue;
                fail(XmlRpcFault::InvalidRequest,
                     QStringLiteral("unexpected text inside <%1>").arg(mParent));
                return Tag::Failed;
            default:
                fail(XmlRpcFault::ParseError, QStringLiteral("unexpected end of document"));
                return Tag::Failed;
            }
        }
    }

    bool expectStart(QStringView name)
    {
        const Tag tag = nextTag();
        if (tag == Tag::Failed)
            return false;
        if (tag == Tag::Start && mReader.name() == name)
            return true;
        return fail(XmlRpcFault::InvalidRequest,
                    QStringLiteral("expected <%1>, found %2%3")
                        .arg(name, tag == Tag::End ? QStringLiteral("end of ") : QString(),
                             quoted(mReader.name())));
    }

    bool expectEnd()
    {
        const Tag tag = nextTag();
        if (tag == Tag::End)
            return true;
        if (tag == Tag::Start)
            fail(XmlRpcFault::InvalidRequest,
                 QStringLiteral("unexpected element %1").arg(quoted(mReader.name())));
        return false;
    }

    // Text content of the current element, which may hold no elements.
    bool elementText(QString &text)
    {
        text = mReader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        return !mReader.hasError() || failFromReader();
    }

    bool decodeMethodCall(XmlRpcCall &call)
    {
        mParent = QStringLiteral("methodCall");
        if (!expectStart(u"methodCall") || !expectStart(u"methodName")
            || !elementText(call.methodName))
            return false;
        if (QStringView(call.methodName).trimmed().isEmpty())
            return fail(XmlRpcFault::InvalidRequest, QStringLiteral("empty <methodName>"));
        const Tag tag = nextTag();
        if (tag != Tag::Start)
            return tag == Tag::End;
        if (mReader.name() != u"params")
            return fail(XmlRpcFault::InvalidRequest,
                        QStringLiteral("expected <params>, found %1").arg(quoted(mReader.name())));
        for (;;) {
            mParent = QStringLiteral("params");
            const Tag next = nextTag();
            if (next == Tag::Failed)
                return false;
            if (next == Tag::End)
                break;
            if (mReader.name() != u"param")
                return fail(
                    XmlRpcFault::InvalidRequest,
                    QStringLiteral("expected <param>, found %1").arg(quoted(mReader.name())));
            QVariant value;
            mParent = QStringLiteral("param");
            if (!expectStart(u"value") || !decodeValue(0, value) || !expectEnd())
                return false;
            call.params.append(std::move(value));
        }
        mParent = QStringLiteral("methodCall");
        return expectEnd();
    }

    // After </methodCall>: only white space, comments and processing instructions may follow.
    bool finishDocument()
    {
        for (;;) {
            const auto token = mReader.readNext();
            if (mReader.hasError())
                return failFromReader();
            if (token == QXmlStreamReader::EndDocument)
                return true;
        }
    }

    // Called just after <value>; consumes up to and including </value>.
    bool decodeValue(int depth, QVariant &out)
    {
        QString text;
        for (;;) {
            if (!readToken())
                return false;
            switch (mReader.tokenType()) {
            case QXmlStreamReader::Characters:
                text.append(mReader.text());
                break;
            case QXmlStreamReader::EndElement:
                out = std::move(text); // untyped value: a string, white space kept
                return true;
            case QXmlStreamReader::StartElement:
                if (!isBlank(text))
                    return fail(XmlRpcFault::InvalidRequest,
                                QStringLiteral("<value> mixes text and an element"));
                mParent = QStringLiteral("value");
                return decodeTyped(depth, out) && expectEnd();
            default:
                return fail(XmlRpcFault::ParseError, QStringLiteral("unexpected end of document"));
            }
        }
    }

    enum class ValueType { Int, Boolean, String, Double, DateTime, Base64, Nil, Struct, Array };

    static std::optional<ValueType> valueType(QStringView name)
    {
        static constexpr std::pair<QStringView, ValueType> types[] = {
            {u"string", ValueType::String}, {u"int", ValueType::Int},
            {u"i4", ValueType::Int},        {u"boolean", ValueType::Boolean},
            {u"struct", ValueType::Struct}, {u"array", ValueType::Array},
            {u"double", ValueType::Double}, {u"dateTime.iso8601", ValueType::DateTime},
            {u"base64", ValueType::Base64}, {u"nil", ValueType::Nil},
        };
        for (const auto &[typeName, type] : types) {
            if (name == typeName)
                return type;
        }
        return std::nullopt;
    }

    bool badScalar(ValueType type)
    {
        static constexpr const char *names[]
            = {"int", "boolean", "string", "double", "dateTime.iso8601", "base64", "nil"};
        return fail(XmlRpcFault::InvalidRequest,
                    QStringLiteral("invalid <%1> value").arg(QLatin1String(names[int(type)])));
    }

    // Called at the start tag of a typed value; consumes up to and including its end tag.
    bool decodeTyped(int depth, QVariant &out)
    {
        const std::optional<ValueType> type = valueType(mReader.name());
        if (!type)
            return fail(XmlRpcFault::InvalidRequest,
                        QStringLiteral("unknown value type %1").arg(quoted(mReader.name())));
        if (*type == ValueType::Struct || *type == ValueType::Array) {
            if (depth >= XmlRpcCodec::maxDepth)
                return fail(XmlRpcFault::InvalidRequest,
                            QStringLiteral("arrays and structs nest deeper than %1 levels")
                                .arg(XmlRpcCodec::maxDepth));
            return *type == ValueType::Struct ? decodeStruct(depth + 1, out)
                                              : decodeArray(depth + 1, out);
        }
        QString text;
        if (!elementText(text))
            return false;
        const QStringView trimmed = QStringView(text).trimmed();
        bool ok = true;
        switch (*type) {
        case ValueType::String:
            out = std::move(text);
            break;
        case ValueType::Int:
            out = trimmed.toInt(&ok, 10);
            break;
        case ValueType::Boolean:
            ok = trimmed == u"0" || trimmed == u"1";
            out = trimmed == u"1";
            break;
        case ValueType::Double:
            out = QLocale::c().toDouble(trimmed, &ok);
            break;
        case ValueType::DateTime: {
            QDateTime value = parseDateTime(trimmed);
            ok = value.isValid();
            out = std::move(value);
            break;
        }
        case ValueType::Base64: {
            QByteArray encoded;
            encoded.reserve(text.size());
            for (QChar c : text) {
                if (!c.isSpace())
                    encoded.append(c.unicode() < 0x80 ? char(c.unicode()) : '?');
            }
            auto decoded
                = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
            ok = bool(decoded);
            out = std::move(*decoded);
            break;
        }
        case ValueType::Nil:
            ok = trimmed.isEmpty();
            out = QVariant();
            break;
        case ValueType::Struct:
        case ValueType::Array:
            break;
        }
        return ok || badScalar(*type);
    }

    bool decodeStruct(int depth, QVariant &out)
    {
        QVariantMap map;
        for (;;) {
            mParent = QStringLiteral("struct");
            const Tag tag = nextTag();
            if (tag == Tag::Failed)
                return false;
            if (tag == Tag::End)
                break;
            if (mReader.name() != u"member")
                return fail(
                    XmlRpcFault::InvalidRequest,
                    QStringLiteral("expected <member>, found %1").arg(quoted(mReader.name())));
            // <name> and <value>, each exactly once, in either order.
            QString name;
            QVariant value;
            bool haveName = false, haveValue = false;
            for (;;) {
                mParent = QStringLiteral("member");
                const Tag inner = nextTag();
                if (inner == Tag::Failed)
                    return false;
                if (inner == Tag::End)
                    break;
                if (mReader.name() == u"name" && !haveName) {
                    haveName = true;
                    if (!elementText(name))
                        return false;
                } else if (mReader.name() == u"value" && !haveValue) {
                    haveValue = true;
                    if (!decodeValue(depth, value))
                        return false;
                } else {
                    return fail(
                        XmlRpcFault::InvalidRequest,
                        QStringLiteral("unexpected %1 in <member>").arg(quoted(mReader.name())));
                }
            }
            if (!haveName || !haveValue)
                return fail(XmlRpcFault::InvalidRequest,
                            QStringLiteral("<member> without <name> or <value>"));
            map.insert(name, std::move(value));
        }
        out = std::move(map);
        return true;
    }

    bool decodeArray(int depth, QVariant &out)
    {
        mParent = QStringLiteral("array");
        if (!expectStart(u"data"))
            return false;
        QVariantList list;
        for (;;) {
            mParent = QStringLiteral("data");
            const Tag tag = nextTag();
            if (tag == Tag::Failed)
                return false;
            if (tag == Tag::End)
                break;
            if (mReader.name() != u"value")
                return fail(
                    XmlRpcFault::InvalidRequest,
                    QStringLiteral("expected <value>, found %1").arg(quoted(mReader.name())));
            QVariant value;
            if (!decodeValue(depth, value))
                return false;
            list.append(std::move(value));
        }
        mParent = QStringLiteral("array");
        if (!expectEnd())
            return false;
        out = std::move(list);
        return true;
    }

    QXmlStreamReader &mReader;
    QString mParent; // element whose content is being read, for error messages
    XmlRpcFault mFault = XmlRpcFault::None;
    QString mError;
};

// --- Markup check before parsing --------------------------------------------------------------

// XML-RPC's elements carry no attributes and its documents no declarations. The stream reader
// checks a start tag's attributes for duplicates pairwise, so a tag with a few hundred thousand
// of them holds a thread for minutes; this scan refuses any attribute (and any DTD) in one pass
// over the bytes, before the reader sees them. It is fed bytes in pieces of any size.
class MarkupScanner
{
public:
    enum class Verdict { Ok, Attribute, Declaration };

    Verdict feed(const char *data, qsizetype size)
    {
        for (qsizetype i = 0; i < size && mVerdict == Verdict::Ok; ++i)
            step(data[i]);
        return mVerdict;
    }

private:
    enum class State { Text, Open, Name, AfterName, Slash, EndTag, Bang, Comment, CData, Pi };

    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void step(char c)
    {
        switch (mState) {
        case State::Text:
            if (c == '<')
                mState = State::Open;
            return;
        case State::Open:
            mState = c == '!' ? State::Bang
                : c == '?'    ? State::Pi
                : c == '/'    ? State::EndTag
                : c == '>'    ? State::Text
                              : State::Name;
            mMatched = 0;
            return;
        case State::Name:
            if (isSpace(c))
                mState = State::AfterName;
            else if (c == '/')
                mState = State::Slash;
            else if (c == '>')
                mState = State::Text;
            return;
        case State::AfterName:
            if (c == '/')
                mState = State::Slash;
            else if (c == '>')
                mState = State::Text;
            else if (!isSpace(c))
                mVerdict = Verdict::Attribute;
            return;
        case State::Slash:
            // Only "/>" closes a tag; anything else would be read as more of it.
            if (c == '>')
                mState = State::Text;
            else
                mVerdict = Verdict::Attribute;
            return;
        case State::EndTag:
            if (c == '>')
                mState = State::Text;
            return;
        case State::Bang: {
            // "<!--" opens a comment, "<![CDATA[" a CDATA section; anything else declares.
            mBang[mMatched++] = c;
            const std::string_view seen(mBang, std::size_t(mMatched));
            if (seen == "--" || seen == "[CDATA[") {
                mState = seen == "--" ? State::Comment : State::CData;
                mMatched = 0;
            } else if (!std::string_view("--").starts_with(seen)
                       && !std::string_view("[CDATA[").starts_with(seen)) {
                mVerdict = Verdict::Declaration;
            }
            return;
        }
        case State::Comment:
            // Ends at "-->".
            if (c == '>' && mMatched >= 2)
                mState = State::Text;
            mMatched = c == '-' ? mMatched + 1 : 0;
            return;
        case State::CData:
            // Ends at "]]>".
            if (c == '>' && mMatched >= 2)
                mState = State::Text;
            mMatched = c == ']' ? mMatched + 1 : 0;
            return;
        case State::Pi:
            // Ends at "?>" (the XML declaration's pseudo-attributes are allowed).
            if (c == '>' && mMatched > 0)
                mState = State::Text;
            mMatched = c == '?' ? 1 : 0;
            return;
        }
    }

    State mState = State::Text;
    int mMatched = 0;
    char mBang[8] = {};
    Verdict mVerdict = Verdict::Ok;
};

// The call to answer for a refused document, or nullopt when it may be parsed.
std::optional<XmlRpcCall> refusedMarkup(MarkupScanner::Verdict verdict)
{
    switch (verdict) {
    case MarkupScanner::Verdict::Attribute:
        return XmlRpcCall {{}, {}, XmlRpcFault::InvalidRequest,
                           QStringLiteral("XML-RPC elements take no attributes")};
    case MarkupScanner::Verdict::Declaration:
        return XmlRpcCall {{}, {}, XmlRpcFault::ParseError,
                           QStringLiteral("document type declarations are not accepted")};
    default:
        return std::nullopt;
    }
}

// --- Encoding --------------------------------------------------------------------------------

// Appends text as UTF-8 character data. Markup characters become entity references, CR a
// character reference (a parser would turn a literal CR into LF); code points XML 1.0 does not
// allow are dropped.
void appendEscaped(QByteArray &out, QStringView text)
{
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char32_t c = text[i].unicode();
        if (c < 0x80) {
            switch (c) {
            case '&':
                out.append("&amp;");
                break;
            case '<':
                out.append("&lt;");
                break;
            case '>':
                out.append("&gt;");
                break;
            case '\r':
                out.append("&#13;");
                break;
            case '\t':
            case '\n':
                out.append(char(c));
                break;
            default:
                if (c >= 0x20)
                    out.append(char(c));
                break;
            }
        } else if (c < 0x800) {
            out.append(char(0xC0 | (c >> 6)));
            out.append(char(0x80 | (c & 0x3F)));
        } else if (QChar::isHighSurrogate(c)) {
            if (i + 1 < size && text[i + 1].isLowSurrogate()) {
                const char32_t u = QChar::surrogateToUcs4(char16_t(c), text[i + 1].unicode());
                ++i;
                out.append(char(0xF0 | (u >> 18)));
                out.append(char(0x80 | ((u >> 12) & 0x3F)));
                out.append(char(0x80 | ((u >> 6) & 0x3F)));
                out.append(char(0x80 | (u & 0x3F)));
            }
        } else if (!QChar::isLowSurrogate(c) && c != 0xFFFE && c != 0xFFFF) {
            out.append(char(0xE0 | (c >> 12)));
            out.append(char(0x80 | ((c >> 6) & 0x3F)));
            out.append(char(0x80 | (c & 0x3F)));
        }
    }
}

void appendInt(QByteArray &out, qint64 value)
{
    out.append("<int>").append(QByteArray::number(value)).append("</int>");
}

void appendDouble(QByteArray &out, double value)
{
    out.append("<double>")
        .append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest))
        .append("</double>");
}

void appendString(QByteArray &out, QStringView value)
{
    out.append("<string>");
    appendEscaped(out, value);
    out.append("</string>");
}

template<typename Integer> void appendInteger(QByteArray &out, Integer value)
{
    if (std::in_range<int>(value))
        appendInt(out, qint64(value));
    else
        appendDouble(out, double(value));
}

bool appendValue(QByteArray &out, const QVariant &value);

template<typename Map> bool appendStruct(QByteArray &out, const Map &map)
{
    out.append("<struct>");
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        out.append("<member><name>");
        appendEscaped(out, it.key());
        out.append("</name>");
        if (!appendValue(out, it.value()))
            return false;
        out.append("</member>");
    }
    out.append("</struct>");
    return true;
}

template<typename List> bool appendArray(QByteArray &out, const List &list)
{
    out.append("<array><data>");
    for (const auto &item : list) {
        if (!appendValue(out, QVariant(item)))
            return false;
    }
    out.append("</data></array>");
    return true;
}

bool appendValue(QByteArray &out, const QVariant &value)
{
    out.append("<value>");
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        out.append("<nil/>");
        break;
    case QMetaType::Bool:
        out.append(value.toBool() ? "<boolean>1</boolean>" : "<boolean>0</boolean>");
        break;
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        appendInt(out, value.toInt());
        break;
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        appendInteger(out, value.toULongLong());
        break;
    case QMetaType::Long:
    case QMetaType::LongLong:
        appendInteger(out, value.toLongLong());
        break;
    case QMetaType::Double:
    case QMetaType::Float:
        appendDouble(out, value.toDouble());
        break;
    case QMetaType::QString:
        appendString(out, *static_cast<const QString *>(value.constData()));
        break;
    case QMetaType::QByteArray:
        out.append("<base64>")
            .append(static_cast<const QByteArray *>(value.constData())->toBase64())
            .append("</base64>");
        break;
    case QMetaType::QDateTime: {
        const QDateTime dateTime = value.toDateTime();
        if (dateTime.isValid())
            out.append("<dateTime.iso8601>")
                .append(dateTime.toString(QStringLiteral("yyyyMMdd'T'HH:mm:ss")).toLatin1())
                .append("</dateTime.iso8601>");
        else
            out.append("<nil/>");
        break;
    }
    case QMetaType::QVariantMap:
        if (!appendStruct(out, *static_cast<const QVariantMap *>(value.constData())))
            return false;
        break;
    case QMetaType::QVariantHash:
        if (!appendStruct(out, *static_cast<const QVariantHash *>(value.constData())))
            return false;
        break;
    case QMetaType::QVariantList:
        if (!appendArray(out, *static_cast<const QVariantList *>(value.constData())))
            return false;
        break;
    case QMetaType::QStringList:
        if (!appendArray(out, *static_cast<const QStringList *>(value.constData())))
            return false;
        break;
    default:
        // Other registered containers and types with a text form (QUrl, QDate, ...).
        if (value.canConvert<QVariantList>()) {
            if (!appendArray(out, value.toList()))
                return false;
        } else if (value.canConvert<QVariantMap>()) {
            if (!appendStruct(out, value.toMap()))
                return false;
        } else if (value.canConvert<QString>()) {
            appendString(out, value.toString());
        } else {
            return false;
        }
        break;
    }
    out.append("</value>");
    return true;
}

constexpr char responseHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>";
constexpr char responseTail[] = "</methodResponse>\n";

} // namespace

XmlRpcCall XmlRpcCodec::decodeCall(const QByteArray &document)
{
    if (auto refused = refusedMarkup(MarkupScanner().feed(document.constData(), document.size())))
        return *refused;
    QXmlStreamReader reader(document);
    return CallDecoder(reader).run();
}

XmlRpcCall XmlRpcCodec::decodeCall(QIODevice *device)
{
    if (!device)
        return XmlRpcCall {{}, {}, XmlRpcFault::ParseError, QStringLiteral("no document")};
    if (device->isSequential())
        return decodeCall(device->readAll());
    // Scanned in pieces, then read again from where it started.
    const qint64 start = device->pos();
    MarkupScanner scanner;
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = device->read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        if (auto refused = refusedMarkup(scanner.feed(chunk.constData(), got)))
            return *refused;
    }
    if (!device->seek(start))
        return XmlRpcCall {{}, {}, XmlRpcFault::InternalError,
                           QStringLiteral("the request body cannot be read again")};
    QXmlStreamReader reader(device);
    return CallDecoder(reader).run();
}

QByteArray XmlRpcCodec::encodeResponse(const QVariant &value)
{
    QByteArray out;
    out.reserve(256);
    out.append(responseHead).append("<params><param>");
    if (!appendValue(out, value))
        return {};
    out.append("</param></params>").append(responseTail);
    return out;
}

QByteArray XmlRpcCodec::encodeFault(XmlRpcFault code, const QString &message)
{
    QByteArray out;
    out.reserve(256 + message.size());
    out.append(responseHead).append("<fault><value><struct><member><name>faultCode</name><value>");
    appendInt(out, int(code));
    out.append("</value></member><member><name>faultString</name><value>");
    appendString(out, message);
    out.append("</value></member></struct></value></fault>").append(responseTail);
    return out;
}
