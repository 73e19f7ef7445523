#include "xmlrpc/MaiaXmlRpcServerConnection.h"

#include "httpserver/HttpRequest.h"
#include "httpserver/HttpRequestParser.h"
#include "httpserver/HttpResponse.h"
#include "xmlrpc/MaiaXmlRpcServerSecurity.h"

#include <QObject>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class Responder : public QObject
{
    Q_OBJECT
public:
    int touched = 0;

public Q_SLOTS:
    int add(int a, int b) { return a + b; }
    bool negate(bool value) { return !value; }
    QString echo(const QString &text) { return text; }
    QString echo(const QString &text, int times) { return text.repeated(times); }
    QVariantMap describe(const QVariantMap &map)
    {
        return {{"count", int(map.size())}, {"name", map.value("name").toString()}};
    }
    QVariant same(const QVariant &value) { return value; }
    void touch() { ++touched; }
    int fail() { throw std::runtime_error("disk full"); }

private Q_SLOTS:
    int secret() { return 42; }
};

class BufferOutput : public HttpOutput
{
public:
    QByteArray bytes;
    bool writeAll(const char *data, qint64 size) override
    {
        bytes.append(data, size);
        return true;
    }
    bool isOpen() const override { return true; }
};

struct Reply
{
    QByteArray head; // status line and header fields
    QByteArray body;
};

QByteArray call(const QByteArray &method, const QByteArray &params)
{
    return "<?xml version=\"1.0\"?><methodCall><methodName>" + method + "</methodName><params>"
        + params + "</params></methodCall>";
}

QByteArray param(const QByteArray &value)
{
    return "<param><value>" + value + "</value></param>";
}

QByteArray result(const QByteArray &value)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse><params><param><value>"
        + value + "</value></param></params></methodResponse>\n";
}

QByteArray faultCode(int code)
{
    return "<name>faultCode</name><value><int>" + QByteArray::number(code) + "</int>";
}

class MaiaXmlRpcServerConnectionTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        MaiaXmlRpcServerSecurity *table = MaiaXmlRpcServerSecurity::instance();
        for (const char *slot :
             {"add", "negate", "echo", "describe", "same", "touch", "fail", "secret", "missing"})
            table->addMethod(QStringLiteral("test.") + QLatin1String(slot), slot);
    }

    // Posts the body through a real request and response, as a connection would.
    Reply post(const QByteArray &body, QObject *responder)
    {
        HttpRequestParser::Limits limits;
        limits.spoolThreshold = 256;
        HttpRequestParser parser(limits);
        parser.feed("POST /RPC2 HTTP/1.1\r\nHost: h\r\nContent-Type: text/xml\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        EXPECT_EQ(parser.status(), HttpRequestParser::Status::Complete);
        BufferOutput output;
        HttpResponse response(&output);
        response.setRequestInfo(true, false, true);
        MaiaXmlRpcServerConnection::processRequest(*parser.request(), response, responder);
        EXPECT_TRUE(response.hasSentLastPart());
        const qsizetype split = output.bytes.indexOf("\r\n\r\n");
        return {output.bytes.left(split + 2), output.bytes.mid(split + 4)};
    }

    Responder mResponder;
};

TEST_F(MaiaXmlRpcServerConnectionTest, InvokesSlotWithParametersInDeclaredTypes)
{
    const struct
    {
        QByteArray request;
        QByteArray value;
    } rows[] = {
        {call("test.add", param("<int>2</int>") + param("<i4>3</i4>")), "<int>5</int>"},
        {call("test.negate", param("<boolean>1</boolean>")), "<boolean>0</boolean>"},
        {call("test.echo", param("a &lt; b")), "<string>a &lt; b</string>"},
        {call("test.echo", param("ab") + param("<int>3</int>")), "<string>ababab</string>"},
        {call("test.describe",
              param("<struct><member><name>name</name><value>x</value></member>"
                    "<member><name>a</name><value><int>1</int></value></member>"
                    "</struct>")),
         "<struct><member><name>count</name><value><int>2</int></value></member>"
         "<member><name>name</name><value><string>x</string></value></member></struct>"},
        {call("test.same", param("<array><data><value><nil/></value></data></array>")),
         "<array><data><value><nil/></value></data></array>"},
        {call("test.touch", ""), "<nil/>"},
        // Lenient conversion: what does not convert becomes the type's neutral value.
        {call("test.add", param("abc") + param("<int>4</int>")), "<int>4</int>"},
        {call("test.add", param("<string>7</string>") + param("<boolean>1</boolean>")),
         "<int>8</int>"},
        {call("test.echo", param("<int>5</int>")), "<string>5</string>"},
        {call("test.negate", param("<nil/>")), "<boolean>1</boolean>"},
        {call("test.describe", param("text")),
         "<struct><member><name>count</name><value><int>0</int></value></member>"
         "<member><name>name</name><value><string></string></value></member></struct>"},
    };
    for (const auto &row : rows) {
        const Reply reply = post(row.request, &mResponder);
        EXPECT_EQ(reply.body, result(row.value)) << row.request.constData();
    }
    EXPECT_EQ(mResponder.touched, 1);
}

TEST_F(MaiaXmlRpcServerConnectionTest, AnswersWithXmlOfDeclaredLengthAlsoForSpooledBody)
{
    const QByteArray text(5000, 'x'); // above the spool threshold
    const Reply reply = post(call("test.echo", param(text)), &mResponder);
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(reply.head.contains("Content-Type: text/xml\r\n"));
    EXPECT_TRUE(reply.head.contains("Content-Length: " + QByteArray::number(reply.body.size())));
    EXPECT_EQ(reply.body, result("<string>" + text + "</string>"));
}

TEST_F(MaiaXmlRpcServerConnectionTest, AnswersFaultsWithStatus200)
{
    QByteArray elevenParams;
    for (int i = 0; i < 11; ++i)
        elevenParams += param("<int>1</int>");
    const struct
    {
        QByteArray request;
        int code;
        bool withResponder;
    } rows[] = {
        {"<methodCall><methodName>test.add", -32700, true},
        {"<methodCall/>", -32600, true},
        {call("test.unregistered", ""), -32601, true},
        {call("test.missing", ""), -32601, true},
        {call("test.secret", ""), -32601, true},
        {call("test.add", param("<int>1</int>")), -32602, true},
        {call("test.touch", param("<int>1</int>")), -32602, true},
        {call("test.add", elevenParams), -32602, true},
        {call("test.fail", ""), -32603, true},
        {call("test.touch", ""), -32603, false},
    };
    for (const auto &row : rows) {
        const Reply reply = post(row.request, row.withResponder ? &mResponder : nullptr);
        EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 200 OK\r\n")) << row.request.constData();
        EXPECT_TRUE(reply.body.contains("<methodResponse><fault>")) << row.request.constData();
        EXPECT_TRUE(reply.body.contains(faultCode(row.code))) << row.request.constData();
    }
    EXPECT_EQ(mResponder.touched, 0);
}

} // namespace

#include "MaiaXmlRpcServerConnectionTest.moc"
