#include "httpserver/HttpRequest.h"
#include "httpserver/HttpRequestParser.h"
#include "httpserver/HttpSpoolBudget.h"

#include <QDir>
#include <QIODevice>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>
#include <memory>

namespace {

using Status = HttpRequestParser::Status;

HttpRequestParser::Limits smallLimits()
{
    HttpRequestParser::Limits limits;
    limits.maxRequestSize = 1000;
    limits.maxMultiPartSize = 2000;
    limits.maxHeaderSize = 1024;
    limits.spoolThreshold = 64;
    return limits;
}

// Feeds the bytes whole, then one at a time, and checks both ways agree.
struct Parsed
{
    Status status;
    int error;
    QByteArray method, path, rawPath, version, body, leftover;
    bool keepAlive = false;
};

Parsed parse(const QByteArray &bytes, bool byteWise, const HttpRequestParser::Limits &limits)
{
    HttpRequestParser parser(limits);
    if (byteWise) {
        for (qsizetype i = 0; i < bytes.size(); ++i)
            parser.feed(bytes.constData() + i, 1);
    } else {
        parser.feed(bytes);
    }
    Parsed p{parser.status(), parser.errorStatus(), {}, {}, {}, {}, {}, parser.leftover()};
    if (parser.status() == Status::Complete) {
        HttpRequest *r = parser.request();
        p.method = r->getMethod();
        p.path = r->getPath();
        p.rawPath = r->getRawPath();
        p.version = r->getVersion();
        p.body = r->getBody();
        p.keepAlive = r->isKeepAlive();
    }
    return p;
}

class HttpRequestParserTest : public ::testing::TestWithParam<bool>
{
protected:
    Parsed run(const QByteArray &bytes, const HttpRequestParser::Limits &limits = smallLimits())
    {
        return parse(bytes, GetParam(), limits);
    }
};

TEST_P(HttpRequestParserTest, EmptyChunkedBodyArrivingInPiecesCompletes)
{
    // The last chunk first, then the blank line that ends the trailer, byte by byte.
    HttpRequestParser parser(smallLimits());
    parser.feed(QByteArray("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"));
    for (const char *piece : {"0\r\n", "\r", "\n"}) {
        EXPECT_EQ(parser.status(), Status::NeedMore);
        parser.feed(QByteArray(piece));
    }
    ASSERT_EQ(parser.status(), Status::Complete);
    EXPECT_EQ(parser.request()->getBody(), QByteArray());
    EXPECT_EQ(parser.leftover(), QByteArray());
}

TEST_P(HttpRequestParserTest, ParsesRequestLineHeadersAndQuery)
{
    HttpRequestParser parser(smallLimits());
    const QByteArray bytes = "GET /a%20b/c?x=1&y=h%C3%A9+j&x=2&flag HTTP/1.1\r\n"
                             "Host: localhost\r\n"
                             "X-Token:  abc \r\n"
                             "x-multi: one\r\n"
                             "X-Multi: two\r\n"
                             "\r\n";
    if (GetParam()) {
        for (char c : bytes)
            parser.feed(&c, 1);
    } else {
        parser.feed(bytes);
    }
    ASSERT_EQ(parser.status(), Status::Complete);
    HttpRequest &r = *parser.request();
    EXPECT_EQ(r.getMethod(), "GET");
    EXPECT_EQ(r.getRawPath(), "/a%20b/c");
    EXPECT_EQ(r.getPath(), "/a b/c");
    EXPECT_EQ(r.getVersion(), "HTTP/1.1");
    EXPECT_EQ(r.getHeader("x-token"), "abc");
    EXPECT_EQ(r.getHeader("X-TOKEN"), "abc");
    EXPECT_EQ(r.getHeaders("X-Multi"), (QList<QByteArray>{"one", "two"}));
    EXPECT_EQ(r.getParameters("x"), (QList<QByteArray>{"1", "2"}));
    EXPECT_EQ(r.getParameter("y"), QByteArray("h\xc3\xa9 j"));
    EXPECT_TRUE(r.getParameterMap().contains("flag"));
    EXPECT_TRUE(r.isKeepAlive());
    EXPECT_EQ(r.getBodySize(), 0);
}

TEST_P(HttpRequestParserTest, ReadsContentLengthBody)
{
    const Parsed p = run("POST /up HTTP/1.1\r\nHost: h\r\nContent-Length: 11\r\n\r\nhello world");
    ASSERT_EQ(p.status, Status::Complete);
    EXPECT_EQ(p.body, "hello world");
    EXPECT_TRUE(p.leftover.isEmpty());
}

TEST_P(HttpRequestParserTest, ReadsChunkedBodyWithExtensionsAndTrailer)
{
    const Parsed p = run("POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                         "5;name=value\r\nhello\r\n"
                         "1\r\n \r\n"
                         "5\r\nworld\r\n"
                         "0\r\nX-Trailer: t\r\n\r\n");
    ASSERT_EQ(p.status, Status::Complete);
    EXPECT_EQ(p.body, "hello world");
}

TEST_P(HttpRequestParserTest, LeavesPipelinedRequestForTheNextParser)
{
    const Parsed p = run("POST /a HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc"
                         "GET /b HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(p.status, Status::Complete);
    EXPECT_EQ(p.body, "abc");
    EXPECT_EQ(p.leftover, "GET /b HTTP/1.1\r\nHost: h\r\n\r\n");
    const Parsed next = run(p.leftover);
    ASSERT_EQ(next.status, Status::Complete);
    EXPECT_EQ(next.path, "/b");
}

TEST_P(HttpRequestParserTest, KeepAliveFollowsVersionAndConnectionField)
{
    EXPECT_FALSE(run("GET / HTTP/1.0\r\n\r\n").keepAlive);
    EXPECT_TRUE(run("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n").keepAlive);
    EXPECT_FALSE(run("GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n").keepAlive);
    EXPECT_EQ(run("GET / HTTP/1.0\r\n\r\n").version, "HTTP/1.0");
}

TEST_P(HttpRequestParserTest, ReducesAbsoluteFormTargetToPath)
{
    const Parsed p = run("GET http://example.invalid/x/y?q=1 HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(p.status, Status::Complete);
    EXPECT_EQ(p.rawPath, "/x/y");
}

struct BadCase
{
    const char *name;
    QByteArray bytes;
    int status;
};

TEST_P(HttpRequestParserTest, RejectsMalformedRequests)
{
    const QByteArray longHeader = "GET / HTTP/1.1\r\nHost: h\r\nX-Long: " + QByteArray(2000, 'a') + "\r\n\r\n";
    const QByteArray manyHeaders = [] {
        QByteArray b = "GET / HTTP/1.1\r\nHost: h\r\n";
        for (int i = 0; i < 200; ++i)
            b += "X-" + QByteArray::number(i) + ": v\r\n";
        return b + "\r\n";
    }();
    const QList<BadCase> cases = {
        {"garbage request line", "HELLO\r\n\r\n", 400},
        {"missing version", "GET /\r\n\r\n", 400},
        {"bad version", "GET / HTTX/1.1\r\n\r\n", 400},
        {"unsupported minor version", "GET / HTTP/1.2\r\nHost: h\r\n\r\n", 400},
        {"unsupported major version", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", 400},
        {"space in target", "GET /a b HTTP/1.1\r\nHost: h\r\n\r\n", 400},
        {"relative target", "GET a HTTP/1.1\r\nHost: h\r\n\r\n", 400},
        {"control byte in method", "G\x01T / HTTP/1.1\r\n\r\n", 400},
        {"space in field name", "GET / HTTP/1.1\r\nBad Name: v\r\n\r\n", 400},
        {"space before colon", "GET / HTTP/1.1\r\nHost : h\r\n\r\n", 400},
        {"NUL in field value", QByteArray("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26), 400},
        {"bare LF line end in value", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", 400},
        {"field without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", 400},
        {"two Host fields", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"negative length", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: -5\r\n\r\n", 400},
        {"non-numeric length", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 12a\r\n\r\n", 400},
        {"conflicting lengths",
         "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400},
        {"length with chunked",
         "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {"unknown transfer coding", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
        {"chunk size not hex", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n", 400},
        {"chunk longer than size",
         "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", 400},
        {"chunk size overflow",
         "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n", 400},
        {"endless chunk extension",
         "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1;ext=" + QByteArray(5000, 'e'), 400},
        {"endless request line", "GET /" + QByteArray(5000, 'p'), 431},
        {"header block over limit", longHeader, 431},
        {"many fields over limit", manyHeaders, 431},
        {"declared body over limit", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1001\r\n\r\n", 413},
        {"huge declared body", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 99999999999999999999\r\n\r\n", 400},
        {"chunked body over limit",
         "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" + QByteArray(1000, 'x')
             + "\r\n1\r\nx\r\n0\r\n\r\n",
         413},
    };
    for (const BadCase &c : cases) {
        const Parsed p = run(c.bytes);
        EXPECT_EQ(p.status, Status::Failed) << c.name;
        EXPECT_EQ(p.error, c.status) << c.name;
    }
}

TEST_P(HttpRequestParserTest, MultipartBodiesHaveTheirOwnLimit)
{
    const QByteArray head = "POST / HTTP/1.1\r\nHost: h\r\nContent-Type: multipart/form-data; boundary=x\r\n"
                            "Content-Length: 1500\r\n\r\n";
    const Parsed p = run(head + QByteArray(1500, 'm'));
    EXPECT_EQ(p.status, Status::Complete);
    EXPECT_EQ(p.body.size(), 1500);
    const Parsed plain = run("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1500\r\n\r\n" + QByteArray(1500, 'm'));
    EXPECT_EQ(plain.error, 413);
}

TEST_P(HttpRequestParserTest, IncompleteRequestWaitsAndFailsAtEndOfStream)
{
    HttpRequestParser parser(smallLimits());
    parser.feed("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabc");
    EXPECT_EQ(parser.status(), Status::NeedMore);
    EXPECT_TRUE(parser.isHeaderComplete());
    parser.feedEof();
    EXPECT_EQ(parser.status(), Status::Failed);
    EXPECT_EQ(parser.errorStatus(), 400);
}

TEST_P(HttpRequestParserTest, ReportsExpectContinueUntilTheBodyArrives)
{
    HttpRequestParser parser(smallLimits());
    parser.feed("PUT / HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
    EXPECT_TRUE(parser.expectsContinue());
    parser.feed("ok");
    EXPECT_EQ(parser.status(), Status::Complete);
    EXPECT_FALSE(parser.expectsContinue());
}

TEST_P(HttpRequestParserTest, SpoolsLargeBodiesToAFileThatGoesWithTheRequest)
{
    QTemporaryDir dir;
    HttpRequestParser::Limits limits = smallLimits();
    limits.tempDir = dir.path();
    QByteArray body;
    for (int i = 0; i < 900; ++i)
        body.append(char('a' + i % 26));
    HttpRequestParser parser(limits);
    const QByteArray bytes = "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                             + QByteArray::number(body.size(), 16) + "\r\n" + body + "\r\n0\r\n\r\n";
    if (GetParam()) {
        for (char c : bytes)
            parser.feed(&c, 1);
    } else {
        parser.feed(bytes);
    }
    ASSERT_EQ(parser.status(), Status::Complete);
    std::unique_ptr<HttpRequest> request = parser.takeRequest();
    EXPECT_TRUE(request->isBodySpooled());
    EXPECT_EQ(request->getBodySize(), body.size());
    QIODevice *device = request->getBodyDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->readAll(), body);
    EXPECT_EQ(request->getBody(), body);
    request.reset();
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
}

TEST_P(HttpRequestParserTest, SmallBodiesStayInMemoryAndFormFieldsBecomeParameters)
{
    HttpRequestParser parser(smallLimits());
    parser.feed("POST /f?a=1 HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                "Content-Length: 13\r\n\r\nb=two+2&c=%41");
    ASSERT_EQ(parser.status(), Status::Complete);
    HttpRequest &r = *parser.request();
    EXPECT_FALSE(r.isBodySpooled());
    EXPECT_EQ(r.getParameter("a"), "1");
    EXPECT_EQ(r.getParameter("b"), "two 2");
    EXPECT_EQ(r.getParameter("c"), "A");
    EXPECT_EQ(r.getBodyDevice()->readAll(), "b=two+2&c=%41");
}

TEST_P(HttpRequestParserTest, SpooledBodiesShareOneBoundAndAreRefusedBeyondIt)
{
    QTemporaryDir dir;
    HttpRequestParser::Limits limits = smallLimits();
    limits.tempDir = dir.path();
    limits.spoolBudget = std::make_shared<HttpSpoolBudget>(1200);
    const auto feed = [this](HttpRequestParser &parser, const QByteArray &bytes) {
        if (GetParam()) {
            for (char c : bytes)
                parser.feed(&c, 1);
        } else {
            parser.feed(bytes);
        }
    };
    const auto announced = [](int size) {
        return "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: " + QByteArray::number(size)
               + "\r\n\r\n";
    };
    const QByteArray chunked = "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "1f4\r\n" + QByteArray(500, 'c');

    // 800 bytes held by a body still arriving: the budget counts them from its header on.
    auto holder = std::make_unique<HttpRequestParser>(limits);
    feed(*holder, announced(800) + QByteArray(100, 'h'));
    ASSERT_EQ(holder->status(), Status::NeedMore);
    EXPECT_EQ(limits.spoolBudget->inUse(), 800);

    {
        // Refused requests hold what they had reserved until they are gone.
        HttpRequestParser tooLarge(limits);
        feed(tooLarge, announced(500));
        EXPECT_EQ(tooLarge.status(), Status::Failed);
        EXPECT_EQ(tooLarge.errorStatus(), 503);
        EXPECT_EQ(tooLarge.errorReason(), "Service Unavailable");

        HttpRequestParser chunkedTooLarge(limits);
        feed(chunkedTooLarge, chunked);
        EXPECT_EQ(chunkedTooLarge.errorStatus(), 503);
    }

    HttpRequestParser small(limits);
    feed(small, announced(60) + QByteArray(60, 's'));
    EXPECT_EQ(small.status(), Status::Complete) << "bodies kept in memory are not counted";

    // The budget comes back with the request, not with the parser.
    feed(*holder, QByteArray(700, 'h'));
    ASSERT_EQ(holder->status(), Status::Complete);
    std::unique_ptr<HttpRequest> request = holder->takeRequest();
    holder.reset();
    EXPECT_EQ(limits.spoolBudget->inUse(), 800);
    request.reset();
    EXPECT_EQ(limits.spoolBudget->inUse(), 0);
    HttpRequestParser later(limits);
    feed(later, announced(500) + QByteArray(500, 'l'));
    EXPECT_EQ(later.status(), Status::Complete);
}

TEST_P(HttpRequestParserTest, LargeBodyIsRefusedWhenTheDiskCannotKeepItsReserve)
{
    HttpRequestParser::Limits limits = smallLimits();
    limits.minFreeSpace = std::numeric_limits<qint64>::max() / 2;
    const struct
    {
        QByteArray bytes;
        Status status;
        int error;
    } rows[] = {
        {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 65\r\n\r\n", Status::Failed, 503},
        {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n41\r\n"
             + QByteArray(65, 'c'),
         Status::Failed, 503},
        {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 64\r\n\r\n" + QByteArray(64, 'm'),
         Status::Complete, 0},
    };
    for (const auto &row : rows) {
        const Parsed p = run(row.bytes, limits);
        EXPECT_EQ(p.status, row.status) << row.bytes.constData();
        EXPECT_EQ(p.error, row.error) << row.bytes.constData();
    }
}

INSTANTIATE_TEST_SUITE_P(WholeAndByteWise, HttpRequestParserTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "ByteWise" : "Whole"; });

} // namespace
