#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>

namespace httptest {

// One parsed response as a client sees it on the wire.
struct Response
{
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool chunked = false;
    bool valid = false;

    QByteArray header(const QByteArray &name) const;
};

// A blocking TCP client on 127.0.0.1 with a deadline on every wait.
class Client
{
public:
    explicit Client(quint16 port, int timeoutMs = 20000);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool isConnected() const { return mFd >= 0; }
    bool send(const QByteArray &bytes);
    // Reads one response (Content-Length, chunked or close-delimited body).
    Response read(bool headRequest = false);
    // True when the server closed the connection (read returns end of stream) in time.
    bool waitClosed(int timeoutMs);
    void close();
    int fd() const { return mFd; }

private:
    bool fill();

    int mFd = -1;
    int mTimeoutMs;
    QByteArray mBuffer;
    bool mEof = false;
};

// Runs `work` on another thread while the calling thread's event loop runs (the server
// under test accepts on it); returns work's result.
template<typename T>
T runWhileServing(const std::function<T()> &work, int timeoutMs = 60000);
bool runWhileServingImpl(const std::function<void()> &work, int timeoutMs);

template<typename T>
T runWhileServing(const std::function<T()> &work, int timeoutMs)
{
    T result{};
    runWhileServingImpl([&] { result = work(); }, timeoutMs);
    return result;
}

// Resident set size of this process in KiB.
qint64 rssKiB();

} // namespace httptest
