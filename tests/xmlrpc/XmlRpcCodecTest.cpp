#include "xmlrpc/XmlRpcCodec.h"

#include <QBuffer>
#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <limits>

namespace {

QByteArray callWith(const QByteArray &values)
{
    return "<?xml version=\"1.0\"?><methodCall><methodName>m.n</methodName><params>" + values
        + "</params></methodCall>";
}

QByteArray nested(const QByteArray &open, const QByteArray &close, int levels)
{
    return "<param><value>" + open.repeated(levels) + "<int>1</int>" + close.repeated(levels)
        + "</value></param>";
}

// A response's value, read back by decoding it as the single parameter of a call.
QVariant decodeResponseValue(QByteArray response)
{
    response.replace("<methodResponse>", "<methodCall><methodName>r</methodName>");
    response.replace("</methodResponse>", "</methodCall>");
    const XmlRpcCall call = XmlRpcCodec::decodeCall(response);
    EXPECT_TRUE(call.ok()) << call.error.toStdString();
    return call.params.value(0);
}

TEST(XmlRpcCodecTest, DecodesEveryValueType)
{
    const QDate date(1998, 7, 17);
    const QTime time(14, 8, 55);
    const struct
    {
        QByteArray value;
        QVariant expected;
    } rows[] = {
        {"<i4>41</i4>", 41},
        {"<int> -2147483648 </int>", std::numeric_limits<int>::min()},
        {"<boolean>1</boolean>", true},
        {"<boolean>0</boolean>", false},
        {"<string> a &amp; b\n</string>", QStringLiteral(" a & b\n")},
        {" untyped <!-- c --> text ", QStringLiteral(" untyped  text ")},
        {"", QString()},
        {"<string/>", QString()},
        {"<double>-12.214</double>", -12.214},
        {"<double>1e+100</double>", 1e100},
        {"<dateTime.iso8601>19980717T14:08:55</dateTime.iso8601>", QDateTime(date, time)},
        {"<dateTime.iso8601>1998-07-17T14:08:55Z</dateTime.iso8601>",
         QDateTime(date, time, Qt::UTC)},
        {"<dateTime.iso8601>19980717T14:08:55-02:30</dateTime.iso8601>",
         QDateTime(date, time, Qt::OffsetFromUTC, -9000)},
        {"<base64>aGVs\n bG8=</base64>", QByteArray("hello")},
        {"<nil/>", QVariant()},
        {"<struct><member><name>a</name><value><i4>1</i4></value></member>"
         "<member><value>x</value><name>b</name></member></struct>",
         QVariantMap {{"a", 1}, {"b", "x"}}},
        {"<array><data><value><int>1</int></value><value><array><data/></array></value>"
         "</data></array>",
         QVariantList {1, QVariantList()}},
    };
    for (const auto &row : rows) {
        const XmlRpcCall call
            = XmlRpcCodec::decodeCall(callWith("<param><value>" + row.value + "</value></param>"));
        ASSERT_TRUE(call.ok()) << row.value.constData() << ": " << call.error.toStdString();
        ASSERT_EQ(call.params.size(), 1);
        EXPECT_EQ(call.params[0].metaType(), row.expected.metaType()) << row.value.constData();
        EXPECT_EQ(call.params[0], row.expected) << row.value.constData();
    }
}

TEST(XmlRpcCodecTest, DecodesMethodNameAndParamsInOrder)
{
    XmlRpcCall call = XmlRpcCodec::decodeCall(
        QByteArray("<?xml version='1.0'?>\n<!-- c --><methodCall><methodName>a.b</methodName>"
                   "</methodCall>\n"));
    ASSERT_TRUE(call.ok()) << call.error.toStdString();
    EXPECT_EQ(call.methodName, "a.b");
    EXPECT_TRUE(call.params.isEmpty());

    // As a common client library lays a call out: line breaks between elements, base64 in lines.
    call = XmlRpcCodec::decodeCall(
        QByteArray("<?xml version='1.0'?>\n<methodCall>\n"
                   "<methodName>m.n</methodName>\n<params>\n"
                   "<param>\n<value><base64>\naGVs\nbG8=\n</base64>"
                   "</value>\n</param>\n<param>\n<value><struct>\n"
                   "<member>\n<name>k</name>\n<value><array><data>\n"
                   "<value><int>1</int></value>\n</data></array></value>\n"
                   "</member>\n</struct></value>\n</param>\n"
                   "</params>\n</methodCall>\n"));
    ASSERT_TRUE(call.ok()) << call.error.toStdString();
    EXPECT_EQ(call.params,
              (QVariantList {QByteArray("hello"), QVariantMap {{"k", QVariantList {1}}}}));
}

TEST(XmlRpcCodecTest, MalformedDocumentsGiveTheirFault)
{
    const QByteArray valid = callWith("<param><value><int>1</int></value></param>");
    const QByteArray laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
                              "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
                              "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
                              "<methodCall><methodName>&lol3;</methodName></methodCall>";
    const auto param = [](const QByteArray &value) {
        return callWith("<param><value>" + value + "</value></param>");
    };
    const struct
    {
        QByteArray document;
        XmlRpcFault fault;
    } rows[] = {
        {"", XmlRpcFault::ParseError},
        {valid.left(valid.size() - 5), XmlRpcFault::ParseError},
        {valid + "<x/>", XmlRpcFault::ParseError},
        {"<methodCall><methodName>a</methodCall>", XmlRpcFault::ParseError},
        {laughs, XmlRpcFault::ParseError},
        {"<!DOCTYPE methodCall><methodCall><methodName>a</methodName></methodCall>",
         XmlRpcFault::ParseError},
        {param("<string>&ent;</string>"), XmlRpcFault::ParseError},
        {"<methodResponse><params/></methodResponse>", XmlRpcFault::InvalidRequest},
        {"<methodCall><params/></methodCall>", XmlRpcFault::InvalidRequest},
        {"<methodCall><methodName> </methodName></methodCall>", XmlRpcFault::InvalidRequest},
        {callWith("text"), XmlRpcFault::InvalidRequest},
        {callWith("<param><int>1</int></param>"), XmlRpcFault::InvalidRequest},
        {param("<float>1</float>"), XmlRpcFault::InvalidRequest},
        {param("<int>2147483648</int>"), XmlRpcFault::InvalidRequest},
        {param("<i4>12abc</i4>"), XmlRpcFault::InvalidRequest},
        {param("<int></int>"), XmlRpcFault::InvalidRequest},
        {param("<int><i4>1</i4></int>"), XmlRpcFault::InvalidRequest},
        {param("<boolean>true</boolean>"), XmlRpcFault::InvalidRequest},
        {param("<double>one</double>"), XmlRpcFault::InvalidRequest},
        {param("<dateTime.iso8601>19980230T14:08:55</dateTime.iso8601>"),
         XmlRpcFault::InvalidRequest},
        {param("<base64>a$==</base64>"), XmlRpcFault::InvalidRequest},
        {param("x<int>1</int>"), XmlRpcFault::InvalidRequest},
        {param("<array><value>1</value></array>"), XmlRpcFault::InvalidRequest},
        {param("<struct><member><name>a</name></member></struct>"), XmlRpcFault::InvalidRequest},
        {param("<struct><value>1</value></struct>"), XmlRpcFault::InvalidRequest},
        // XML-RPC has no attributes: any is refused before parsing.
        {"<methodCall><methodName a=\"1\">m</methodName></methodCall>",
         XmlRpcFault::InvalidRequest},
        {param("<int\nb='1' c='2'>1</int>"), XmlRpcFault::InvalidRequest},
        {param("<nil/ x='1'>"), XmlRpcFault::InvalidRequest},
    };
    for (const auto &row : rows) {
        const XmlRpcCall call = XmlRpcCodec::decodeCall(row.document);
        EXPECT_EQ(call.fault, row.fault) << row.document.constData();
        EXPECT_FALSE(call.error.isEmpty()) << row.document.constData();
        EXPECT_TRUE(call.methodName.isEmpty() && call.params.isEmpty()) << row.document.constData();
    }
}

TEST(XmlRpcCodecTest, MarkupInCommentsAndCDataIsNoAttributeAndABufferedBodyIsScannedToo)
{
    const QByteArray document
        = callWith("<!-- <a b=\"c\"> --><param><value><string><![CDATA[<x y=\"z\">]]></string>"
                   "</value></param><?pi <p q=\"r\">?>");
    const XmlRpcCall call = XmlRpcCodec::decodeCall(document);
    ASSERT_TRUE(call.ok()) << call.error.toStdString();
    EXPECT_EQ(call.params, (QVariantList {QStringLiteral("<x y=\"z\">")}));

    // A spooled body: the attribute lies beyond the first piece read.
    const QByteArray filler = "<param><value>" + QByteArray(100000, 'x') + "</value></param>";
    QByteArray big = callWith(filler + "<param><value><int a='1'>1</int></value></param>");
    QBuffer buffer(&big);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(XmlRpcCodec::decodeCall(&buffer).fault, XmlRpcFault::InvalidRequest);
    QByteArray good = callWith(filler);
    QBuffer goodBuffer(&good);
    ASSERT_TRUE(goodBuffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(XmlRpcCodec::decodeCall(&goodBuffer).params.size(), 1);
}

TEST(XmlRpcCodecTest, NestingIsBoundedAtMaxDepth)
{
    const int depth = XmlRpcCodec::maxDepth;
    const QByteArray arrayOpen = "<array><data><value>", arrayClose = "</value></data></array>";
    const QByteArray structOpen = "<struct><member><name>m</name><value>",
                     structClose = "</value></member></struct>";
    EXPECT_TRUE(XmlRpcCodec::decodeCall(callWith(nested(arrayOpen, arrayClose, depth))).ok());
    EXPECT_EQ(XmlRpcCodec::decodeCall(callWith(nested(arrayOpen, arrayClose, depth + 1))).fault,
              XmlRpcFault::InvalidRequest);
    EXPECT_EQ(XmlRpcCodec::decodeCall(callWith(nested(structOpen, structClose, 10000))).fault,
              XmlRpcFault::InvalidRequest);
}

TEST(XmlRpcCodecTest, EncodedValuesDecodeToTheSameValues)
{
    const QVariantMap value {
        {"int", -7},
        {"bool", true},
        {"text", QStringLiteral("<a & b> \"q\"\r\n\ttab \u00e9\u20ac\U0001F600")},
        {"double", 0.1},
        {"when", QDateTime(QDate(2024, 2, 29), QTime(23, 59, 1))},
        {"bytes", QByteArray("\0\xff", 2)},
        {"nil", QVariant()},
        {"list", QVariantList {1, "two", QVariantMap {{"k", false}}}},
        {"empty", QVariantMap()},
    };
    EXPECT_EQ(decodeResponseValue(XmlRpcCodec::encodeResponse(value)), value);
    EXPECT_EQ(decodeResponseValue(XmlRpcCodec::encodeResponse(QStringList {"a", "b"})),
              (QVariantList {"a", "b"}));
}

TEST(XmlRpcCodecTest, EncodesExactBytes)
{
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>";
    const auto response = [&](const QByteArray &value) {
        return head + "<params><param><value>" + value
            + "</value></param></params></methodResponse>\n";
    };
    EXPECT_EQ(XmlRpcCodec::encodeResponse(QVariantMap {{"b", 1u}, {"a", "x"}}),
              response("<struct><member><name>a</name><value><string>x</string></value></member>"
                       "<member><name>b</name><value><int>1</int></value></member></struct>"));
    // Wider than 32 bits: a double, exact up to 2^53.
    EXPECT_EQ(XmlRpcCodec::encodeResponse(qint64(1) << 40),
              response("<double>1099511627776</double>"));
    // Characters XML 1.0 forbids are dropped, a valid surrogate pair is kept.
    const QString forbidden = QStringLiteral("a\x01") + QChar(0xD800) + QStringLiteral("b")
        + QChar(0xFFFE) + QStringLiteral("\U0001F600");
    EXPECT_EQ(XmlRpcCodec::encodeResponse(forbidden),
              response("<string>ab\xF0\x9F\x98\x80</string>"));
    EXPECT_EQ(XmlRpcCodec::encodeFault(XmlRpcFault::MethodNotFound, "no <x>"),
              head
                  + "<fault><value><struct><member><name>faultCode</name><value><int>-32601</int>"
                    "</value></member><member><name>faultString</name><value><string>no &lt;x&gt;"
                    "</string></value></member></struct></value></fault></methodResponse>\n");
    // A type without an XML-RPC form, even nested, cannot be encoded.
    EXPECT_TRUE(
        XmlRpcCodec::encodeResponse(QVariantList {1, QVariant::fromValue<QObject *>(nullptr)})
            .isEmpty());
}

} // namespace
