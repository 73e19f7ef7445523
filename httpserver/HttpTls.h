#pragma once

#include <QString>

#include <memory>
#include <mutex>

struct ssl_ctx_st;
struct ssl_st;

// The server side of TLS for a listener: one certificate chain and key, TLS 1.2 and 1.3 only,
// ECDHE with AES-GCM or ChaCha20-Poly1305 for TLS 1.2, no compression, no renegotiation, ALPN
// "http/1.1". Kernel TLS is asked for, so that files go out by sendfile where the kernel
// offers it. reload() reads the pair again and replaces the context for new connections only;
// connections already open keep theirs. Thread-safe.
class HttpTlsContext
{
public:
    // Null with `error` set when the pair cannot be used: unreadable, not matching, or a key
    // file that others may read (readable by its group is allowed, for a group such as
    // ssl-cert that holds the keys of several services).
    static std::shared_ptr<HttpTlsContext> create(const QString &certificateFile,
                                                  const QString &keyFile, QString *error);
    ~HttpTlsContext();
    HttpTlsContext(const HttpTlsContext &) = delete;
    HttpTlsContext &operator=(const HttpTlsContext &) = delete;

    // Reads the files again; on failure the old pair stays in use and `error` says why.
    bool reload(QString *error);
    // A new server session on the current context, or null.
    ssl_st *newSession() const;

private:
    HttpTlsContext(const QString &certificateFile, const QString &keyFile);
    static ssl_ctx_st *load(const QString &certificateFile, const QString &keyFile, QString *error);

    const QString mCertificateFile;
    const QString mKeyFile;
    mutable std::mutex mMutex;
    ssl_ctx_st *mContext = nullptr;
};
