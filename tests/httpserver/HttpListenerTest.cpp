#include "HttpTestClient.h"
#include "TestSupport.h"

#include "httpserver/HttpConnectionHandlerPool.h"
#include "httpserver/HttpListener.h"
#include "httpserver/HttpRequest.h"
#include "httpserver/HttpRequestHandler.h"
#include "httpserver/HttpResponse.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using httptest::Client;
using httptest::Response;
using httptest::runWhileServing;

namespace {

QByteArray threadTag()
{
    return QByteArray::number(quintptr(QThread::currentThread()), 16);
}

// Answers by path: what the tests need to see of the request on the server's side.
class TestHandler : public HttpRequestHandler
{
public:
    QSemaphore release;
    std::atomic<int> slowEntered = 0;
    // Sent by /file: the whole file, or a length it does not have (/file?claim=N).
    QString fileName;

    void service(HttpRequest &request, HttpResponse &response) override
    {
        const QByteArray path = request.getPath();
        if (path == "/echo" || path == "/guarded" || path == "/small") {
            response.setHeader("X-Method", request.getMethod());
            response.setHeader("X-Query", request.getParameter("q"));
            response.write(request.getBody(), true);
        } else if (path == "/digest") {
            // Reads the body through its device, as a handler of large uploads does.
            QIODevice *body = request.getBodyDevice();
            QCryptographicHash hash(QCryptographicHash::Sha256);
            qint64 size = 0;
            while (!body->atEnd()) {
                const QByteArray part = body->read(1 << 20);
                if (part.isEmpty())
                    break;
                size += part.size();
                hash.addData(part);
            }
            response.setHeader("X-Size", size);
            response.setHeader("X-Spooled", request.isBodySpooled() ? "yes" : "no");
            response.setHeader("X-Rss-KiB", httptest::rssKiB());
            response.write(hash.result().toHex(), true);
        } else if (path == "/parts") {
            response.write("one,", false);
            response.write("two,", false);
            response.write("three", false);
        } else if (path == "/slow") {
            ++slowEntered;
            release.tryAcquire(1, 30000);
            response.write("slow done", true);
        } else if (path == "/throw") {
            throw std::runtime_error("handler failure");
        } else if (path == "/throw-midway") {
            response.write("a first part", false);
            throw std::runtime_error("handler failure after the header");
        } else if (path == "/file") {
            QFile file(fileName);
            if (!file.open(QIODevice::ReadOnly))
                throw std::runtime_error("test file missing");
            const qint64 claim = request.getParameter("claim").isEmpty()
                                     ? file.size() : request.getParameter("claim").toLongLong();
            const qint64 offset = request.getParameter("offset").toLongLong();
            response.writeFile(file.handle(), offset, claim);
        } else if (path == "/thread") {
            response.write(threadTag(), true);
        } else if (path == "/unfinished") {
            response.setHeader("Content-Length", 100);
            response.write("only a little", false);
        } else {
            response.setStatus(404, "NOT FOUND");
        }
    }

    // /guarded wants "X-Key: ok" before it takes a body; /small takes 10 bytes at most.
    HttpBodyPolicy bodyPolicy(const HttpRequest &request) override
    {
        const QByteArray path = request.getPath();
        if (path == "/guarded" && request.getHeader("X-Key") != "ok") {
            HttpBodyPolicy refusal;
            refusal.refuseStatus = 401;
            refusal.refuseReason = "unauthorized";
            refusal.refuseBody = "who are you";
            refusal.refuseHeaders.append({QByteArray("WWW-Authenticate"), QByteArray("Basic")});
            return refusal;
        }
        return path == "/small" ? HttpBodyPolicy::limit(10) : HttpBodyPolicy();
    }
};

class HttpListenerTest : public ::testing::Test
{
protected:
    void start(const QMap<QString, QVariant> &overrides = {})
    {
        ASSERT_TRUE(mDir.isValid());
        QSettings settings(mDir.filePath(QStringLiteral("listener.ini")), QSettings::IniFormat);
        settings.setValue("host", "127.0.0.1");
        settings.setValue("port", 0);
        settings.setValue("minThreads", 2);
        settings.setValue("maxThreads", 16);
        settings.setValue("cleanupInterval", 60000);
        settings.setValue("readTimeout", 10000);
        settings.setValue("maxRequestSize", 300000000);
        settings.setValue("maxMultiPartSize", 300000000);
        settings.setValue("maxHeaderSize", 4096);
        settings.setValue("tempDir", mDir.path());
        for (auto it = overrides.begin(); it != overrides.end(); ++it)
            settings.setValue(it.key(), it.value());
        mListener = std::make_unique<HttpListener>(&settings, &mHandler);
        ASSERT_TRUE(mListener->isListening());
        mPort = mListener->serverPort();
    }

    void TearDown() override
    {
        mHandler.release.release(1000);
        mListener.reset();
    }

    Response get(const QByteArray &path)
    {
        return runWhileServing<Response>([&] {
            Client c(mPort);
            c.send("GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n");
            return c.read();
        });
    }

    QTemporaryDir mDir;
    TestHandler mHandler;
    // Written by the listener's threads as they end, up to the listener's destruction.
    std::mutex mEndedMutex;
    QList<QByteArray> mEnded;
    std::unique_ptr<HttpListener> mListener;
    quint16 mPort = 0;
};

TEST_F(HttpListenerTest, KeepAliveConnectionCarriesManyRequests)
{
    start();
    const bool ok = runWhileServing<bool>([&] {
        Client c(mPort);
        for (int i = 0; i < 50; ++i) {
            const QByteArray body = "request " + QByteArray::number(i);
            c.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: " + QByteArray::number(body.size())
                   + "\r\n\r\n" + body);
            const Response r = c.read();
            if (r.status != 200 || r.body != body || r.header("Connection") == "close")
                return false;
        }
        return true;
    });
    EXPECT_TRUE(ok);
}

TEST_F(HttpListenerTest, PipelinedRequestsAreAnsweredInOrder)
{
    start();
    const auto responses = runWhileServing<QList<Response>>([&] {
        Client c(mPort);
        c.send("GET /echo?q=first HTTP/1.1\r\nHost: t\r\n\r\n"
               "POST /echo?q=second HTTP/1.1\r\nHost: t\r\nContent-Length: 4\r\n\r\nbody"
               "GET /missing HTTP/1.1\r\nHost: t\r\n\r\n"
               "GET /echo?q=last HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
        QList<Response> all;
        for (int i = 0; i < 4; ++i)
            all.append(c.read());
        all.append(Response{});
        all.last().valid = c.waitClosed(10000);
        return all;
    });
    ASSERT_EQ(responses.size(), 5);
    EXPECT_EQ(responses[0].header("X-Query"), "first");
    EXPECT_EQ(responses[1].header("X-Query"), "second");
    EXPECT_EQ(responses[1].body, "body");
    EXPECT_EQ(responses[2].status, 404);
    EXPECT_EQ(responses[2].reason, "NOT FOUND");
    EXPECT_EQ(responses[2].body, "");
    EXPECT_EQ(responses[2].header("Content-Length"), "0");
    EXPECT_EQ(responses[3].header("X-Query"), "last");
    EXPECT_EQ(responses[3].header("Connection"), "close");
    EXPECT_TRUE(responses[4].valid) << "server must close after Connection: close";
}

TEST_F(HttpListenerTest, BytesArrivingWhileAConnectionIsServedAreNotMissed)
{
    // The pool hears of a connection only when bytes arrive: neither bytes that come while its
    // request is being answered, nor bytes still unread behind a request that ended exactly
    // where one read ended (64 KiB), may be left waiting for an arrival that never comes.
    start({{QStringLiteral("readTimeout"), 5000}});
    const auto responses = runWhileServing<QList<Response>>([&] {
        QList<Response> all;
        Client c(mPort);
        // Answered and parked once first, so that the connection is in the epoll set.
        c.send("GET /echo HTTP/1.1\r\nHost: t\r\n\r\n");
        c.read();
        c.send("GET /slow HTTP/1.1\r\nHost: t\r\n\r\n");
        while (mHandler.slowEntered.load() == 0)
            QThread::msleep(5);
        c.send("GET /echo?q=during HTTP/1.1\r\nHost: t\r\n\r\n");
        QThread::msleep(100);
        mHandler.release.release();
        all.append(c.read());
        all.append(c.read());

        const QByteArray head = "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 65481\r\n\r\n";
        const QByteArray first = head + QByteArray(65536 - head.size(), 'x');
        c.send(first + "GET /echo?q=behind HTTP/1.1\r\nHost: t\r\n\r\n");
        all.append(c.read());
        all.append(c.read());
        return all;
    });
    ASSERT_EQ(responses.size(), 4);
    EXPECT_EQ(responses[0].body, "slow done");
    EXPECT_EQ(responses[1].header("X-Query"), "during");
    EXPECT_EQ(responses[2].body.size(), 65481);
    EXPECT_EQ(responses[3].header("X-Query"), "behind");
}

TEST_F(HttpListenerTest, PipelinedRequestsAreAnsweredAfterTheClientHalfCloses)
{
    // A client may send all its requests and shut its sending side; it still reads.
    start();
    const auto responses = runWhileServing<QList<Response>>([&] {
        Client c(mPort);
        c.send("GET /echo?q=one HTTP/1.1\r\nHost: t\r\n\r\n"
               "GET /echo?q=two HTTP/1.1\r\nHost: t\r\n\r\n"
               "GET /echo?q=three HTTP/1.1\r\nHost: t\r\n\r\n");
        ::shutdown(c.fd(), SHUT_WR);
        QList<Response> all;
        for (int i = 0; i < 3; ++i)
            all.append(c.read());
        return all;
    });
    ASSERT_EQ(responses.size(), 3);
    EXPECT_EQ(responses[0].header("X-Query"), "one");
    EXPECT_EQ(responses[1].header("X-Query"), "two");
    EXPECT_EQ(responses[2].header("X-Query"), "three");
}

TEST_F(HttpListenerTest, ChunkedUploadIsReassembled)
{
    start();
    const Response r = runWhileServing<Response>([&] {
        Client c(mPort);
        c.send("POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n");
        c.send("4\r\nWiki\r\n");
        c.send("6\r\npedia \r\n");
        c.send("E\r\nin \r\n\r\nchunks.\r\n0\r\n\r\n");
        return c.read();
    });
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "Wikipedia in \r\n\r\nchunks.");
}

TEST_F(HttpListenerTest, ExpectContinueGetsInterimAnswerBeforeTheBody)
{
    start();
    const auto result = runWhileServing<QList<Response>>([&] {
        Client c(mPort);
        c.send("PUT /echo HTTP/1.1\r\nHost: t\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
        QList<Response> all{c.read()};
        c.send("hello");
        all.append(c.read());
        return all;
    });
    EXPECT_EQ(result[0].status, 100);
    EXPECT_EQ(result[1].status, 200);
    EXPECT_EQ(result[1].body, "hello");
}

// The policy decides from the header alone: a refused request never has its body read or
// spooled, and a client that waits for "100 Continue" gets the refusal instead.
TEST_F(HttpListenerTest, BodyPolicyRefusesBeforeTheBodyIsSent)
{
    start();
    struct Case
    {
        QByteArray head;
        int status;
        QByteArray body;
    } cases[] = {
        {"PUT /guarded HTTP/1.1\r\nHost: t\r\nExpect: 100-continue\r\nContent-Length: 850000000\r\n\r\n",
         401, "who are you"},
        {"PUT /guarded HTTP/1.1\r\nHost: t\r\nContent-Length: 850000000\r\n\r\n", 401, "who are you"},
        {"POST /small HTTP/1.1\r\nHost: t\r\nContent-Length: 11\r\n\r\n", 413, "413 payload too large"},
        {"PUT /guarded HTTP/1.1\r\nHost: t\r\nX-Key: ok\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n",
         100, ""},
    };
    for (const Case &c : cases) {
        const auto result = runWhileServing<std::pair<Response, bool>>([&] {
            Client client(mPort);
            client.send(c.head);
            const Response first = client.read();
            return std::make_pair(first, first.status != 100 && client.waitClosed(5000));
        });
        SCOPED_TRACE(c.head.constData());
        EXPECT_EQ(result.first.status, c.status);
        EXPECT_EQ(result.first.body, c.body);
        if (c.status == 401) {
            EXPECT_EQ(result.first.header("WWW-Authenticate"), "Basic");
        }
        EXPECT_EQ(result.second, c.status != 100) << "a refused connection is closed";
    }
    // The policy's limit holds for a body that comes without announcing its length, too.
    const Response chunked = runWhileServing<Response>([&] {
        Client client(mPort);
        client.send("POST /small HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "b\r\nhello world\r\n0\r\n\r\n");
        return client.read();
    });
    EXPECT_EQ(chunked.status, 413);
}

TEST_F(HttpListenerTest, EveryAnswerForbidsSniffingFramingAndReferrers)
{
    start();
    for (const QByteArray &path : {QByteArray("/echo"), QByteArray("/missing")}) {
        const Response r = get(path);
        EXPECT_EQ(r.header("X-Content-Type-Options"), "nosniff") << path.constData();
        EXPECT_EQ(r.header("X-Frame-Options"), "DENY") << path.constData();
        EXPECT_EQ(r.header("Referrer-Policy"), "no-referrer") << path.constData();
    }
}

TEST_F(HttpListenerTest, LargeUploadIsSpooledToDiskNotMemory)
{
    start();
    constexpr qint64 sTotal = 200LL * 1024 * 1024;
    const qint64 rssBefore = httptest::rssKiB();
    struct Result
    {
        Response response;
        QByteArray digest;
    };
    const Result result = runWhileServing<Result>([&] {
        Client c(mPort, 60000);
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 131 + 7);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        c.send("POST /digest HTTP/1.1\r\nHost: t\r\nContent-Length: " + QByteArray::number(sTotal) + "\r\n\r\n");
        for (qint64 sent = 0; sent < sTotal; sent += block.size()) {
            block[0] = char(sent >> 20);
            hash.addData(block);
            if (!c.send(block))
                break;
        }
        return Result{c.read(), hash.result().toHex()};
    }, 120000);
    ASSERT_EQ(result.response.status, 200);
    EXPECT_EQ(result.response.header("X-Size").toLongLong(), sTotal);
    EXPECT_EQ(result.response.header("X-Spooled"), "yes");
    EXPECT_EQ(result.response.body, result.digest);
#ifndef __SANITIZE_ADDRESS__
    // Measured while the request (and its body) was alive on the server. (The address
    // sanitizer keeps freed blocks in quarantine, which makes RSS meaningless there.)
    const qint64 growth = result.response.header("X-Rss-KiB").toLongLong() - rssBefore;
    EXPECT_LT(growth, 64 * 1024) << "RSS grew by " << growth << " KiB for a 200 MiB body";
#else
    Q_UNUSED(rssBefore);
#endif
}

TEST_F(HttpListenerTest, ResponseWithoutLengthIsChunkedOrCloseDelimited)
{
    start();
    const Response r11 = get("/parts");
    EXPECT_TRUE(r11.chunked);
    EXPECT_EQ(r11.body, "one,two,three");
    const auto r10 = runWhileServing<Response>([&] {
        Client c(mPort);
        c.send("GET /parts HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
        return c.read();
    });
    EXPECT_FALSE(r10.chunked);
    EXPECT_EQ(r10.header("Connection"), "close");
    EXPECT_EQ(r10.body, "one,two,three");
}

TEST_F(HttpListenerTest, HeadRequestGetsHeaderOnly)
{
    start();
    const auto r = runWhileServing<QList<Response>>([&] {
        Client c(mPort);
        c.send("HEAD /thread HTTP/1.1\r\nHost: t\r\n\r\nGET /echo?q=after HTTP/1.1\r\nHost: t\r\n\r\n");
        return QList<Response>{c.read(true), c.read()};
    });
    EXPECT_EQ(r[0].status, 200);
    EXPECT_GT(r[0].header("Content-Length").toInt(), 0);
    EXPECT_EQ(r[1].header("X-Query"), "after") << "a HEAD answer must not carry body bytes";
}

TEST_F(HttpListenerTest, FilesAreSentWholeByTheKernelWithRangesHeadAndShortFiles)
{
    // Above one sendfile(2) piece, so that the sending loop goes round.
    QByteArray content(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (char &c : content)
        c = char(QRandomGenerator::global()->bounded(256));
    mHandler.fileName = mDir.filePath(QStringLiteral("sent.bin"));
    {
        QFile f(mHandler.fileName);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
    }
    start();
    const auto result = runWhileServing<QList<Response>>([&] {
        Client c(mPort);
        // Pipelined on one connection: whole file, HEAD, a part from an offset, then the
        // whole file again; every answer must stay in step with the next.
        c.send("GET /file HTTP/1.1\r\nHost: t\r\n\r\n"
               "HEAD /file HTTP/1.1\r\nHost: t\r\n\r\n"
               "GET /file?offset=1000&claim=5000 HTTP/1.1\r\nHost: t\r\n\r\n"
               "GET /file HTTP/1.1\r\nHost: t\r\n\r\n");
        QList<Response> answers{c.read(), c.read(true), c.read(), c.read()};
        // A file shorter than the length sent with it: the connection must end, not
        // leave the client waiting for bytes that never come.
        Client shortFile(mPort);
        shortFile.send("GET /file?offset=" + QByteArray::number(content.size() - 10)
                       + "&claim=100 HTTP/1.1\r\nHost: t\r\n\r\n");
        Response cut = shortFile.read();
        cut.valid = shortFile.waitClosed(10000);
        answers.append(cut);
        return answers;
    });
    EXPECT_EQ(result[0].status, 200);
    EXPECT_EQ(result[0].header("Content-Length"), QByteArray::number(content.size()));
    EXPECT_TRUE(result[0].body == content) << "the body must be the file's exact bytes";
    EXPECT_EQ(result[1].status, 200);
    EXPECT_EQ(result[1].header("Content-Length"), QByteArray::number(content.size()));
    EXPECT_TRUE(result[1].body.isEmpty());
    EXPECT_EQ(result[2].header("Content-Length"), "5000");
    EXPECT_TRUE(result[2].body == content.mid(1000, 5000));
    EXPECT_TRUE(result[3].body == content);
    EXPECT_EQ(result[4].header("Content-Length"), "100");
    EXPECT_TRUE(result[4].valid) << "a short file must end the connection";
}

TEST_F(HttpListenerTest, HandlerFailuresAreAnsweredAndConnectionsEndedCleanly)
{
    start();
    const Response thrown = get("/throw");
    EXPECT_EQ(thrown.status, 500);
    // Failing after the first part: the client must not receive a body that looks complete.
    const Response midway = get("/throw-midway");
    EXPECT_EQ(midway.status, 200);
    EXPECT_FALSE(midway.valid) << "a chunked body cut short must not end with its last chunk";
    // A handler that declares more than it writes: the connection is closed rather than
    // leaving the client waiting for bytes that never come.
    const bool closed = runWhileServing<bool>([&] {
        Client c(mPort);
        c.send("GET /unfinished HTTP/1.1\r\nHost: t\r\n\r\n");
        return c.waitClosed(10000);
    });
    EXPECT_TRUE(closed);
    EXPECT_EQ(get("/echo?q=alive").header("X-Query"), "alive");
}

struct BadInput
{
    const char *name;
    QByteArray bytes;
    int status;
};

TEST_F(HttpListenerTest, BadInputGetsErrorStatusAndConnectionIsClosed)
{
    start({{"maxRequestSize", 1000}});
    const QList<BadInput> cases = {
        {"malformed request line", "GARBAGE\r\n\r\n", 400},
        {"binary noise", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), 400},
        {"bad header bytes", "GET / HTTP/1.1\r\nHo\x01st: x\r\n\r\n", 400},
        {"header block over limit", "GET / HTTP/1.1\r\nHost: t\r\nX: " + QByteArray(5000, 'a') + "\r\n\r\n", 431},
        {"body over maxRequestSize", "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5000\r\n\r\n", 413},
        {"chunked body over maxRequestSize",
         "POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" + QByteArray(2000, 'c')
             + "\r\n0\r\n\r\n",
         413},
        {"negative length", "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: -1\r\n\r\n", 400},
        {"conflicting lengths", "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        {"broken chunked encoding",
         "POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcdefgh\r\n0\r\n\r\n", 400},
        {"chunk size garbage", "POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n", 400},
    };
    for (const BadInput &bad : cases) {
        const auto result = runWhileServing<QPair<Response, bool>>([&] {
            Client c(mPort);
            c.send(bad.bytes);
            const Response r = c.read();
            return qMakePair(r, c.waitClosed(10000));
        });
        EXPECT_EQ(result.first.status, bad.status) << bad.name;
        EXPECT_EQ(result.first.header("Connection"), "close") << bad.name;
        EXPECT_TRUE(result.second) << bad.name;
    }
    EXPECT_EQ(get("/echo?q=still").header("X-Query"), "still");
}

TEST_F(HttpListenerTest, SilentClientsAreDroppedAfterReadTimeout)
{
    start({{"readTimeout", 300}});
    const auto result = runWhileServing<QList<Response>>([&] {
        // Stops in the middle of a header: 408, then closed.
        Client partial(mPort);
        partial.send("GET /echo HTTP/1.1\r\nHost: t\r\nX-Partial: ");
        const Response midHeader = partial.read();
        Response closedPartial;
        closedPartial.valid = partial.waitClosed(10000);
        // Stops in the middle of a body.
        Client body(mPort);
        body.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 10\r\n\r\nabc");
        const Response midBody = body.read();
        // Idle keep-alive connection: closed without an answer.
        Client idle(mPort);
        idle.send("GET /echo HTTP/1.1\r\nHost: t\r\n\r\n");
        const Response first = idle.read();
        Response idleClosed;
        idleClosed.valid = idle.waitClosed(10000);
        // A byte at a time, never finishing the header: the deadline covers the whole header.
        Client dribble(mPort);
        bool dribbleDropped = false;
        for (int i = 0; i < 100 && !dribbleDropped; ++i) {
            dribbleDropped = !dribble.send("X") || false;
            QThread::msleep(50);
            pollfd p{dribble.fd(), POLLIN, 0};
            if (::poll(&p, 1, 0) > 0)
                dribbleDropped = true;
        }
        Response dribbleResult;
        dribbleResult.valid = dribbleDropped;
        return QList<Response>{midHeader, closedPartial, midBody, first, idleClosed, dribbleResult};
    });
    EXPECT_EQ(result[0].status, 408);
    EXPECT_TRUE(result[1].valid);
    EXPECT_EQ(result[2].status, 408);
    EXPECT_EQ(result[3].status, 200);
    EXPECT_TRUE(result[4].valid);
    EXPECT_TRUE(result[5].valid) << "a client dribbling a header must not hold a thread forever";
    EXPECT_EQ(get("/echo?q=x").status, 200);
}

TEST_F(HttpListenerTest, BodyTricklingBelowTheMinimumRateIsCutOff)
{
    // Every byte comes well within the read timeout, but far below the rate.
    start({{"readTimeout", 2000}, {"minBodyRate", 1000}, {"minRateGraceTime", 500}});
    struct Result
    {
        Response response;
        bool cutWhileSending = false;
    };
    const Result result = runWhileServing<Result>([&] {
        Client c(mPort);
        c.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 100000\r\n\r\n");
        bool cut = false;
        for (int i = 0; i < 100 && !cut; ++i) {
            cut = !c.send("x");
            QThread::msleep(200);
            pollfd p{c.fd(), POLLIN, 0};
            cut = cut || ::poll(&p, 1, 0) > 0;
        }
        return Result{c.read(), cut};
    });
    EXPECT_TRUE(result.cutWhileSending) << "a body sent a byte at a time must not hold a thread";
    EXPECT_EQ(result.response.status, 408);
    EXPECT_EQ(get("/echo?q=x").status, 200);
}

TEST_F(HttpListenerTest, BusyPoolLetsConnectionsWaitThenAnswers503)
{
    start({{"minThreads", 1}, {"maxThreads", 1}, {"maxWaitTime", 1500}});
    HttpConnectionHandlerPool *pool = mListener->pool();
    const auto result = runWhileServing<QList<Response>>([&] {
        Client slow(mPort);
        slow.send("GET /slow HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
        while (mHandler.slowEntered.load() == 0)
            QThread::msleep(5);
        // The only thread is busy: this one waits, then gets 503.
        Client refused(mPort);
        refused.send("GET /echo HTTP/1.1\r\nHost: t\r\n\r\n");
        const Response busy = refused.read();
        // This one waits and is served once the thread is free again.
        Client waiting(mPort);
        waiting.send("GET /echo?q=waited HTTP/1.1\r\nHost: t\r\n\r\n");
        for (int i = 0; i < 1000 && pool->pendingCount() == 0; ++i)
            QThread::msleep(1);
        const int pendingWhileBusy = pool->pendingCount();
        mHandler.release.release();
        const Response slowAnswer = slow.read();
        const Response waited = waiting.read();
        Response pending;
        pending.status = pendingWhileBusy;
        return QList<Response>{busy, slowAnswer, waited, pending};
    });
    EXPECT_EQ(result[0].status, 503);
    EXPECT_EQ(result[0].header("Connection"), "close");
    EXPECT_EQ(result[1].body, "slow done");
    EXPECT_EQ(result[3].status, 1) << "the second connection should have waited for the thread";
    EXPECT_EQ(result[2].header("X-Query"), "waited");
}

TEST_F(HttpListenerTest, ConnectionsWaitingForInputHoldNoThread)
{
    // Two threads for everything: connections idle between requests or stopped in the middle
    // of one wait without a thread, and each is served whenever its client goes on, even
    // while a handler keeps one thread for itself.
    start({{"minThreads", 1}, {"maxThreads", 2}, {"maxWaitTime", 2000}, {"readTimeout", 30000}});
    HttpConnectionHandlerPool *pool = mListener->pool();
    constexpr int sIdle = 50;
    struct Result
    {
        int answered = 0;
        QByteArray halfHeader;
        QByteArray halfBody;
        QByteArray slow;
        int threads = 0;
        bool reaped = false;
    };
    const Result result = runWhileServing<Result>([&] {
        Result r;
        Client halfHeader(mPort);
        halfHeader.send("GET /echo?q=header HTTP/1.1\r\nHost: t\r\n");
        Client halfBody(mPort);
        halfBody.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 6\r\n\r\nabc");
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < sIdle; ++i) {
            idle.push_back(std::make_unique<Client>(mPort));
            const QByteArray q = QByteArray::number(i);
            idle.back()->send("GET /echo?q=" + q + " HTTP/1.1\r\nHost: t\r\n\r\n");
            r.answered += idle.back()->read().header("X-Query") == q;
        }
        Client slow(mPort);
        slow.send("GET /slow HTTP/1.1\r\nHost: t\r\n\r\n");
        while (mHandler.slowEntered.load() == 0)
            QThread::msleep(5);
        QThread::msleep(200);
        // The next requests come much later, in another order.
        for (int i = sIdle - 1; i >= 0; --i) {
            const QByteArray q = "again" + QByteArray::number(i);
            idle[i]->send("GET /echo?q=" + q + " HTTP/1.1\r\nHost: t\r\n\r\n");
            r.answered += idle[i]->read().header("X-Query") == q;
        }
        halfHeader.send("\r\n");
        r.halfHeader = halfHeader.read().header("X-Query");
        halfBody.send("def");
        r.halfBody = halfBody.read().body;
        mHandler.release.release();
        r.slow = slow.read().body;
        r.threads = pool->threadCount();
        // Connections closed by their clients while waiting are closed on the server too.
        idle.clear();
        halfHeader.close();
        halfBody.close();
        slow.close();
        for (int i = 0; i < 1000 && !r.reaped; ++i) {
            r.reaped = pool->connectionCount() == 0;
            QThread::msleep(10);
        }
        return r;
    });
    EXPECT_EQ(result.answered, 2 * sIdle);
    EXPECT_EQ(result.halfHeader, "header");
    EXPECT_EQ(result.halfBody, "abcdef");
    EXPECT_EQ(result.slow, "slow done");
    EXPECT_LE(result.threads, 2);
    EXPECT_TRUE(result.reaped);
}

TEST_F(HttpListenerTest, ClosingTheListenerClosesWaitingConnectionsAndLeaksNoDescriptor)
{
    const auto openDescriptors = [] {
        return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size();
    };
    // A first listener's life, so that whatever the process opens once is open already.
    start();
    EXPECT_EQ(get("/echo?q=first").status, 200);
    mListener.reset();
    const qsizetype before = openDescriptors();
    start();
    std::vector<std::unique_ptr<Client>> clients;
    const int answered = runWhileServing<int>([&] {
        int n = 0;
        for (int i = 0; i < 5; ++i) {
            clients.push_back(std::make_unique<Client>(mPort));
            clients.back()->send("GET /echo HTTP/1.1\r\nHost: t\r\n\r\n");
            n += clients.back()->read().status == 200;
        }
        clients.push_back(std::make_unique<Client>(mPort));
        clients.back()->send("GET /echo HTTP/1.1\r\n");
        QThread::msleep(100);
        return n;
    });
    EXPECT_EQ(answered, 5);
    mListener.reset();
    for (const auto &c : clients)
        EXPECT_TRUE(c->waitClosed(5000));
    clients.clear();
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(HttpListenerTest, ThousandConnectionsAtOnceAllGetAnAnswer)
{
    start({{"minThreads", 4}, {"maxThreads", 32}, {"maxWaitTime", 20000}});
    struct Counts
    {
        int ok = 0;
        int busy = 0;
        int closed = 0;
        int other = 0;
    };
    const Counts counts = runWhileServing<Counts>([&] {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 1000; ++i)
            clients.push_back(std::make_unique<Client>(mPort, 30000));
        for (auto &c : clients)
            c->send("GET /echo?q=many HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
        Counts n;
        for (auto &c : clients) {
            if (!c->isConnected()) {
                ++n.closed;
                continue;
            }
            const Response r = c->read();
            if (r.status == 200 && r.header("X-Query") == "many")
                ++n.ok;
            else if (r.status == 503)
                ++n.busy;
            else if (!r.valid)
                ++n.closed;
            else
                ++n.other;
        }
        return n;
    }, 120000);
    EXPECT_EQ(counts.ok + counts.busy + counts.closed, 1000);
    EXPECT_EQ(counts.other, 0);
    EXPECT_GT(counts.ok, 0);
    EXPECT_LE(mListener->pool()->threadCount(), 32);
    EXPECT_EQ(get("/echo?q=after").header("X-Query"), "after");
}

TEST_F(HttpListenerTest, DestructionCallbackRunsOnTheEndingThread)
{
    start({{"minThreads", 0}, {"maxThreads", 4}, {"cleanupInterval", 50}});
    mListener->setDestructionCallback([this] {
        std::lock_guard lock(mEndedMutex);
        mEnded.append(threadTag());
    });
    const Response r = get("/thread");
    ASSERT_EQ(r.status, 200);
    ASSERT_NE(r.body, threadTag());
    EXPECT_TRUE(hxbtest::waitUntil([&] {
        std::lock_guard lock(mEndedMutex);
        return mEnded.contains(r.body);
    }, 20000));
    EXPECT_TRUE(hxbtest::waitUntil([&] { return mListener->pool()->threadCount() == 0; }, 20000));
    // New threads are started on demand after the idle ones retired.
    EXPECT_EQ(get("/echo?q=again").header("X-Query"), "again");
}

TEST_F(HttpListenerTest, RunningOutOfDescriptorsDoesNotStopAccepting)
{
    start();
    // One request first, so every code path a connection takes has run once before descriptors
    // run out (the sanitizer runtime itself needs descriptors for its first check of a type).
    EXPECT_EQ(get("/echo?q=before").header("X-Query"), "before");
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 20; ++i)
        clients.push_back(std::make_unique<Client>(mPort));
    // The connections wait in the kernel's queue; let the listener accept only a few.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int open = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
    rlimit low = saved;
    low.rlim_cur = rlim_t(open + 4);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    hxbtest::waitUntil([] { return false; }, 300);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    clients.clear();
    EXPECT_EQ(get("/echo?q=later").header("X-Query"), "later");
}

TEST_F(HttpListenerTest, PortInUseIsReportedNotFatal)
{
    start();
    QSettings settings(mDir.filePath(QStringLiteral("second.ini")), QSettings::IniFormat);
    settings.setValue("host", "127.0.0.1");
    settings.setValue("port", mPort);
    HttpListener second(&settings, &mHandler);
    EXPECT_FALSE(second.isListening());
    EXPECT_EQ(get("/echo?q=first").header("X-Query"), "first");
}

} // namespace
