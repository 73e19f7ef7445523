#include "HttpConnectionHandler.h"

#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
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
constexpr int sYieldCheckMs = 100;
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

HttpConnectionHandler::HttpConnectionHandler(const Settings &settings, HttpRequestHandler *handler,
                                             std::function<bool()> shouldYield)
    : mSettings(settings)
    , mHandler(handler)
    , mShouldYield(std::move(shouldYield))
{
}

void HttpConnectionHandler::serve(int fd)
{
    try {
        serveRequests(fd);
    } catch (const std::exception &e) {
        // Out of memory or a library failure: this connection ends, the server goes on.
        qWarning("HTTP connection ended by an exception: %s", e.what());
    } catch (...) {
        qWarning("HTTP connection ended by an exception");
    }
    ::close(fd);
}

void HttpConnectionHandler::serveRequests(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // Every wait is a poll() with its own deadline; no call may block beyond it.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const QHostAddress peer = peerAddress(fd);
    const int timeout = qMax(1, mSettings.readTimeout);
    SocketOutput output(fd, timeout);
    QByteArray pending;
    QByteArray buffer(sReadChunk, Qt::Uninitialized);
    int served = 0;

    for (;;) {
        HttpRequestParser parser(mSettings.limits);
        // The whole header must arrive within the timeout; a body may take longer as long
        // as it keeps coming.
        QDeadlineTimer headerDeadline(timeout);
        // A body that trickles in (a byte just before each timeout) must not hold the
        // thread for ever: after the grace period it has to keep up a minimum average rate.
        QElapsedTimer bodyClock;
        qint64 bodyBytes = 0;
        bool continueSent = false;
        if (!pending.isEmpty())
            parser.feed(std::exchange(pending, QByteArray()));
        while (parser.status() == HttpRequestParser::Status::NeedMore) {
            if (parser.isHeaderComplete() && !bodyClock.isValid())
                bodyClock.start();
            if (!continueSent && parser.expectsContinue()) {
                continueSent = true;
                static const char sContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                if (!output.writeAll(sContinue, sizeof(sContinue) - 1)) {
                    return;
                }
            }
            const int remaining = parser.isHeaderComplete()
                                      ? timeout
                                      : int(qMax<qint64>(0, headerDeadline.remainingTime()));
            // Between requests, wake up now and then: an idle kept-alive connection gives
            // its thread up when other connections wait for one.
            const bool idleBetweenRequests = served > 0 && parser.isIdle();
            const int wait = idleBetweenRequests && mShouldYield ? qMin(remaining, sYieldCheckMs)
                                                                 : remaining;
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, wait);
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0) {
                if (idleBetweenRequests && mShouldYield && mShouldYield())
                    return;
                if (wait < remaining)
                    continue;
                if (!parser.isIdle())
                    answerError(fd, 408, "Request Timeout");
                return;
            }
            if (r < 0) {
                return;
            }
            const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n > 0 && bodyClock.isValid()) {
                bodyBytes += n;
                const qint64 elapsed = bodyClock.elapsed();
                if (mSettings.minBodyRate > 0 && elapsed > mSettings.minRateGraceMs
                    && bodyBytes < mSettings.minBodyRate * elapsed / 1000) {
                    answerError(fd, 408, "Request Timeout");
                    return;
                }
            }
            if (n <= 0) {
                // End of stream (or reset): a request begun but not finished is dropped.
                parser.feedEof();
                if (parser.status() != HttpRequestParser::Status::Complete) {
                    return;
                }
                break;
            }
            parser.feed(buffer.constData(), n);
        }

        if (parser.status() == HttpRequestParser::Status::Failed) {
            answerError(fd, parser.errorStatus(), parser.errorReason());
            lingeringClose(fd);
            return;
        }

        pending = parser.leftover();
        std::unique_ptr<HttpRequest> request = parser.takeRequest();
        request->setPeerAddress(peer);
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
                return;
            }
            response.setStatus(500, "Internal Server Error");
            response.setHeader("Content-Type", "text/plain; charset=UTF-8");
            response.write("500 internal server error", true);
        }
        request.reset();
        ++served;
        if (!response.complete()) {
            ::shutdown(fd, SHUT_WR);
            return;
        }
    }
}

void HttpConnectionHandler::answerError(int fd, int status, const QByteArray &reason)
{
    SocketOutput output(fd, qMin(qMax(1, mSettings.readTimeout), 5000));
    HttpResponse response(&output);
    response.setRequestInfo(true, false, false);
    response.setStatus(status, reason);
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    response.write(QByteArray::number(status) + ' ' + reason.toLower(), true);
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
