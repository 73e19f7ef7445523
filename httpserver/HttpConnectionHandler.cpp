#include "HttpConnectionHandler.h"

#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QtGlobal>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace {

constexpr qsizetype sReadChunk = 64 * 1024;
// Largest piece of a file handed to sendfile(2) at once.
constexpr qint64 sSendfileChunk = 1024 * 1024;

// Blocking writes on a socket with a deadline per write.
class SocketOutput : public HttpOutput
{
public:
    SocketOutput(int fd, int timeoutMs)
        : mFd(fd)
        , mTimeoutMs(timeoutMs)
    {
    }

    bool writeAll(const char *data, qint64 size) override
    {
        iovec v{const_cast<char *>(data), size_t(size)};
        return writeVector(&v, 1, 0);
    }

    bool writeAllGathered(const char *first, qint64 firstSize, const char *second,
                          qint64 secondSize) override
    {
        iovec v[2] = {{const_cast<char *>(first), size_t(firstSize)},
                      {const_cast<char *>(second), size_t(secondSize)}};
        return writeVector(v, 2, 0);
    }

    qint64 writeFile(const QByteArray &head, int fd, qint64 offset, qint64 size) override
    {
        if (mFailed)
            return -1;
        // The header is held back (MSG_MORE) to leave in one packet with the file's first bytes.
        iovec v{const_cast<char *>(head.constData()), size_t(head.size())};
        if (!head.isEmpty() && !writeVector(&v, 1, size > 0 ? MSG_MORE : 0))
            return -1;
        QDeadlineTimer deadline(mTimeoutMs);
        off_t position = off_t(offset);
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::sendfile(mFd, fd, &position, size_t(qMin<qint64>(size - done, sSendfileChunk)));
            if (n > 0) {
                done += n;
                deadline.setRemainingTime(mTimeoutMs);
                continue;
            }
            if (n == 0)
                break; // the file is shorter than it was
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(deadline))
                continue;
            if (errno == EINVAL || errno == ENOSYS) {
                // Not a file the kernel can send from: go through user space.
                if (done > 0) {
                    mFailed = true;
                    return -1;
                }
                return HttpOutput::writeFile(QByteArray(), fd, offset, size);
            }
            mFailed = true;
            return -1;
        }
        if (done < size) {
            // Push out a header held back by MSG_MORE (setting TCP_NODELAY pushes).
            const int one = 1;
            ::setsockopt(mFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        }
        return done;
    }

    bool isOpen() const override
    {
        if (mFailed)
            return false;
        pollfd p{mFd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0)
            return true;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return false;
        // Readable: either data (a pipelined request) or the peer's end of stream.
        char c;
        const ssize_t n = ::recv(mFd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return n != 0;
    }

private:
    bool waitWritable(const QDeadlineTimer &deadline)
    {
        for (;;) {
            pollfd p{mFd, POLLOUT, 0};
            const int left = int(qMax<qint64>(0, deadline.remainingTime()));
            const int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            return r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
        }
    }

    // Blocking writes of all of `v` with a deadline per write.
    bool writeVector(iovec *v, int count, int flags)
    {
        if (mFailed)
            return false;
        QDeadlineTimer deadline(mTimeoutMs);
        while (count > 0 && v->iov_len == 0) {
            ++v;
            --count;
        }
        while (count > 0) {
            msghdr m{};
            m.msg_iov = v;
            m.msg_iovlen = size_t(count);
            ssize_t n = ::sendmsg(mFd, &m, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                while (count > 0 && size_t(n) >= v->iov_len) {
                    n -= ssize_t(v->iov_len);
                    ++v;
                    --count;
                }
                if (count > 0) {
                    v->iov_base = static_cast<char *>(v->iov_base) + n;
                    v->iov_len -= size_t(n);
                }
                deadline.setRemainingTime(mTimeoutMs);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(deadline))
                continue;
            mFailed = true;
            return false;
        }
        return true;
    }

    int mFd;
    int mTimeoutMs;
    bool mFailed = false;
};

QHostAddress peerAddress(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<sockaddr *>(&addr));
}

} // namespace

HttpConnectionHandler::HttpConnectionHandler(const Settings &settings, HttpRequestHandler *handler)
    : mSettings(settings)
    , mHandler(handler)
{
}

HttpConnectionHandler::Outcome HttpConnectionHandler::serve(Connection &connection)
{
    try {
        return serveRequests(connection);
    } catch (const std::exception &e) {
        // Out of memory or a library failure: this connection ends, the server goes on.
        qWarning("HTTP connection ended by an exception: %s", e.what());
    } catch (...) {
        qWarning("HTTP connection ended by an exception");
    }
    return Outcome::Finished;
}

void HttpConnectionHandler::expire(Connection &connection)
{
    // Silence between requests ends the connection without a word; within one, it is 408.
    if (connection.mParser && !connection.mParser->isIdle())
        answerError(connection.fd, 408, "Request Timeout");
    connection.mParser.reset();
}

HttpConnectionHandler::Outcome HttpConnectionHandler::serveRequests(Connection &c)
{
    const int fd = c.fd;
    if (!c.mStarted) {
        c.mStarted = true;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        // No call may block: reads return when there is nothing to read, writes wait in
        // poll() with a deadline.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK))
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        c.mPeer = peerAddress(fd);
    }
    const int timeoutMs = qMax(1, mSettings.readTimeout);
    const std::chrono::milliseconds timeout(timeoutMs);
    SocketOutput output(fd, timeoutMs);
    // Shared by the connections a thread serves: read into, parsed, then dropped.
    thread_local QByteArray buffer(sReadChunk, Qt::Uninitialized);

    const auto startRequest = [&] {
        c.mParser = std::make_unique<HttpRequestParser>(mSettings.limits);
        c.mParser->request()->setPeerAddress(c.mPeer);
        c.mParser->setBodyPolicy(
            [handler = mHandler](const HttpRequest &request) { return handler->bodyPolicy(request); });
        // The whole header must arrive within the timeout; a body may take longer as long
        // as it keeps coming.
        c.mHeaderDeadline = Clock::now() + timeout;
        // A body that trickles in (a byte just before each timeout) must not hold on for
        // ever: after the grace period it has to keep up a minimum average rate.
        c.mBodyStarted = false;
        c.mBodyBytes = 0;
        c.mContinueSent = false;
        if (!c.mPending.isEmpty())
            c.mParser->feed(std::exchange(c.mPending, QByteArray()));
    };

    // Whether the last read left the socket empty. The pool hears of a connection again only
    // when new bytes arrive (edge-triggered), so the connection may wait only once every byte
    // already there has been read.
    bool drained = false;
    for (;;) {
        if (!c.mParser)
            startRequest();
        HttpRequestParser &parser = *c.mParser;
        while (parser.status() == HttpRequestParser::Status::NeedMore) {
            if (parser.isHeaderComplete() && !c.mBodyStarted) {
                c.mBodyStarted = true;
                c.mBodyStart = Clock::now();
            }
            if (!c.mContinueSent && parser.expectsContinue()) {
                c.mContinueSent = true;
                static const char sContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                if (!output.writeAll(sContinue, sizeof(sContinue) - 1))
                    return Outcome::Finished;
            }
            const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Nothing more for now: the connection waits without a thread.
                c.deadline = parser.isHeaderComplete() ? Clock::now() + timeout : c.mHeaderDeadline;
                return Outcome::WaitForInput;
            }
            if (n > 0 && !parser.isHeaderComplete() && !parser.isIdle()
                && Clock::now() >= c.mHeaderDeadline) {
                // A header dribbled in a byte at a time never sees a silent deadline pass.
                answerError(fd, 408, "Request Timeout");
                return Outcome::Finished;
            }
            if (n > 0 && c.mBodyStarted) {
                c.mBodyBytes += n;
                const qint64 elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                           Clock::now() - c.mBodyStart).count();
                if (mSettings.minBodyRate > 0 && elapsed > mSettings.minRateGraceMs
                    && c.mBodyBytes < mSettings.minBodyRate * elapsed / 1000) {
                    answerError(fd, 408, "Request Timeout");
                    return Outcome::Finished;
                }
            }
            if (n <= 0) {
                // End of stream (or reset): a request begun but not finished is dropped.
                parser.feedEof();
                if (parser.status() != HttpRequestParser::Status::Complete)
                    return Outcome::Finished;
                break;
            }
            drained = n < buffer.size();
            parser.feed(buffer.constData(), n);
        }

        // Kept until the answer is out: it owns what the body was spooled to.
        const std::unique_ptr<HttpRequestParser> done = std::move(c.mParser);
        if (done->status() == HttpRequestParser::Status::Failed) {
            answerError(fd, done->errorStatus(), done->errorReason(), done->refusal());
            lingeringClose(fd);
            return Outcome::Finished;
        }

        c.mPending = done->leftover();
        std::unique_ptr<HttpRequest> request = done->takeRequest();
        request->setPeerAddress(c.mPeer);
        HttpResponse response(&output);
        response.setRequestInfo(request->getVersion() == "HTTP/1.1", request->getMethod() == "HEAD",
                                request->isKeepAlive());
        bool failed = false;
        try {
            mHandler->service(*request, response);
        } catch (const std::exception &e) {
            qWarning("HTTP handler threw for %s: %s", request->getRawPath().constData(), e.what());
            failed = true;
        } catch (...) {
            qWarning("HTTP handler threw for %s", request->getRawPath().constData());
            failed = true;
        }
        if (failed) {
            if (response.hasSentHeaders()) {
                // Part of an answer is out; completing it would pass a truncated body off as
                // whole. Ending the connection tells the client it is not.
                return Outcome::Finished;
            }
            response.setStatus(500, "Internal Server Error");
            response.setHeader("Content-Type", "text/plain; charset=UTF-8");
            response.write("500 internal server error", true);
        }
        request.reset();
        if (!response.complete()) {
            ::shutdown(fd, SHUT_WR);
            return Outcome::Finished;
        }
        if (c.mPending.isEmpty() && drained) {
            // The client rarely has its next request out before it has read this answer:
            // wait for it parked (bytes arriving from now on wake it) rather than spend a
            // read that finds nothing.
            startRequest();
            c.deadline = c.mHeaderDeadline;
            return Outcome::WaitForInput;
        }
    }
}

void HttpConnectionHandler::answerError(int fd, int status, const QByteArray &reason,
                                        const HttpBodyPolicy &refusal)
{
    SocketOutput output(fd, qMin(qMax(1, mSettings.readTimeout), 5000));
    HttpResponse response(&output);
    response.setRequestInfo(true, false, false);
    response.setStatus(status, reason);
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    for (const auto &[name, value] : refusal.refuseHeaders)
        response.setHeader(name, value);
    const bool ownBody = refusal.refuseStatus != 0 && !refusal.refuseBody.isEmpty();
    response.write(ownBody ? refusal.refuseBody : QByteArray::number(status) + ' ' + reason.toLower(),
                   true);
}

void HttpConnectionHandler::lingeringClose(int fd)
{
    // Closing with unread bytes from the client makes the kernel reset the connection,
    // which may destroy the answer before the client has read it. Read (and drop) what
    // the client is still sending for a short while first.
    ::shutdown(fd, SHUT_WR);
    QDeadlineTimer deadline(qMin(qMax(1, mSettings.readTimeout), 2000));
    char sink[16 * 1024];
    qint64 drained = 0;
    while (!deadline.hasExpired() && drained < 64 * 1024 * 1024) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime())));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        const ssize_t n = ::recv(fd, sink, sizeof(sink), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        drained += n;
    }
}
