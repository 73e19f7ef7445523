#include "HttpTestClient.h"

#include "TestSupport.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace httptest {

QByteArray Response::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

Client::Client(quint16 port, int timeoutMs)
    : mTimeoutMs(timeoutMs)
{
    mFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(mFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(mFd);
        mFd = -1;
        return;
    }
    const int one = 1;
    ::setsockopt(mFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

Client::~Client()
{
    close();
}

void Client::close()
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
}

bool Client::send(const QByteArray &bytes)
{
    qsizetype off = 0;
    while (mFd >= 0 && off < bytes.size()) {
        const ssize_t n = ::send(mFd, bytes.constData() + off, size_t(bytes.size() - off), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += n;
    }
    return mFd >= 0;
}

bool Client::fill()
{
    if (mFd < 0 || mEof)
        return false;
    pollfd p{mFd, POLLIN, 0};
    const int r = ::poll(&p, 1, mTimeoutMs);
    if (r <= 0)
        return false;
    char buf[65536];
    const ssize_t n = ::recv(mFd, buf, sizeof(buf), 0);
    if (n <= 0) {
        mEof = true;
        return false;
    }
    mBuffer.append(buf, n);
    return true;
}

Response Client::read(bool headRequest)
{
    Response r;
    qsizetype end;
    while ((end = mBuffer.indexOf("\r\n\r\n")) < 0) {
        if (!fill())
            return r;
    }
    const QList<QByteArray> lines = mBuffer.left(end).split('\n');
    mBuffer.remove(0, end + 4);
    const QByteArray statusLine = lines.first().trimmed();
    const QList<QByteArray> parts = statusLine.split(' ');
    if (parts.size() < 2)
        return r;
    r.status = parts.at(1).toInt();
    r.reason = statusLine.mid(parts.at(0).size() + parts.at(1).size() + 2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            r.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    if (headRequest || r.status == 204 || r.status == 304 || r.status < 200) {
        r.valid = true;
        return r;
    }
    if (r.header("Transfer-Encoding").toLower() == "chunked") {
        r.chunked = true;
        for (;;) {
            qsizetype eol;
            while ((eol = mBuffer.indexOf("\r\n")) < 0) {
                if (!fill())
                    return r;
            }
            bool ok = false;
            const qint64 size = mBuffer.left(eol).split(';').first().trimmed().toLongLong(&ok, 16);
            if (!ok)
                return r;
            while (mBuffer.size() < eol + 2 + size + 2) {
                if (!fill())
                    return r;
            }
            r.body.append(mBuffer.mid(eol + 2, size));
            mBuffer.remove(0, eol + 2 + size + 2);
            if (size == 0)
                break;
        }
    } else if (!r.header("Content-Length").isEmpty()) {
        const qint64 length = r.header("Content-Length").toLongLong();
        while (mBuffer.size() < length) {
            if (!fill())
                return r;
        }
        r.body = mBuffer.left(length);
        mBuffer.remove(0, length);
    } else {
        while (fill()) {
        }
        r.body = mBuffer;
        mBuffer.clear();
    }
    r.valid = true;
    return r;
}

bool Client::waitClosed(int timeoutMs)
{
    const int saved = mTimeoutMs;
    mTimeoutMs = timeoutMs;
    while (fill()) {
    }
    mTimeoutMs = saved;
    return mEof;
}

bool runWhileServingImpl(const std::function<void()> &work, int timeoutMs)
{
    std::atomic<bool> done = false;
    std::thread t([&] {
        work();
        done = true;
    });
    const bool ok = hxbtest::waitUntil([&] { return done.load(); }, timeoutMs);
    t.join();
    return ok;
}

qint64 rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

} // namespace httptest
