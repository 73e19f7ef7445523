#include "HttpTls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

// For TLS 1.2; TLS 1.3 has its own (AEAD only) suites.
constexpr char sCiphers[] = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                            "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                            "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

QString openSslError(const QString &what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return what + QStringLiteral(": ") + QString::fromUtf8(text);
}

int selectAlpn(SSL *, const unsigned char **out, unsigned char *outLength, const unsigned char *in,
               unsigned int inLength, void *)
{
    static const unsigned char sHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char *selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, sHttp11, sizeof(sHttp11), in, inLength)
        != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK; // the client offers only others: go on without ALPN
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

} // namespace

HttpTlsContext::HttpTlsContext(const QString &certificateFile, const QString &keyFile)
    : mCertificateFile(certificateFile)
    , mKeyFile(keyFile)
{
}

HttpTlsContext::~HttpTlsContext()
{
    SSL_CTX_free(mContext);
}

std::shared_ptr<HttpTlsContext> HttpTlsContext::create(const QString &certificateFile,
                                                       const QString &keyFile, QString *error)
{
    std::shared_ptr<HttpTlsContext> context(new HttpTlsContext(certificateFile, keyFile));
    context->mContext = load(certificateFile, keyFile, error);
    if (!context->mContext)
        return nullptr;
    return context;
}

bool HttpTlsContext::reload(QString *error)
{
    SSL_CTX *fresh = load(mCertificateFile, mKeyFile, error);
    if (!fresh)
        return false;
    SSL_CTX *old = nullptr;
    {
        std::lock_guard lock(mMutex);
        old = mContext;
        mContext = fresh;
    }
    // Sessions made from it hold their own reference.
    SSL_CTX_free(old);
    return true;
}

SSL *HttpTlsContext::newSession() const
{
    std::lock_guard lock(mMutex);
    return mContext ? SSL_new(mContext) : nullptr;
}

SSL_CTX *HttpTlsContext::load(const QString &certificateFile, const QString &keyFile, QString *error)
{
    QString ignored;
    QString &message = error ? *error : ignored;
    const QByteArray certificatePath = certificateFile.toLocal8Bit();
    const QByteArray keyPath = keyFile.toLocal8Bit();
    struct stat info{};
    if (::stat(keyPath.constData(), &info) != 0) {
        message = QStringLiteral("cannot read the key %1: %2").arg(keyFile, QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    if (info.st_mode & (S_IROTH | S_IWOTH)) {
        message = QStringLiteral("the key %1 is readable or writable by others; "
                                 "allow its owner (and at most its group) to read it").arg(keyFile);
        return nullptr;
    }
    ERR_clear_error();
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        message = openSslError(QStringLiteral("cannot create a TLS context"));
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION
                                     | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_ENABLE_KTLS);
    // Writes return once a record is out (partial writes); buffers of idle connections are freed.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                                  | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    static const unsigned char sSessionContext[] = "hxbserver";
    SSL_CTX_set_session_id_context(context, sSessionContext, sizeof(sSessionContext) - 1);
    SSL_CTX_set_alpn_select_cb(context, selectAlpn, nullptr);
    if (SSL_CTX_set_cipher_list(context, sCiphers) != 1) {
        message = openSslError(QStringLiteral("cannot set the cipher list"));
    } else if (SSL_CTX_use_certificate_chain_file(context, certificatePath.constData()) != 1) {
        message = openSslError(QStringLiteral("cannot load the certificate chain %1").arg(certificateFile));
    } else if (SSL_CTX_use_PrivateKey_file(context, keyPath.constData(), SSL_FILETYPE_PEM) != 1) {
        message = openSslError(QStringLiteral("cannot load the key %1").arg(keyFile));
    } else if (SSL_CTX_check_private_key(context) != 1) {
        message = openSslError(QStringLiteral("the key %1 does not match the certificate %2")
                                   .arg(keyFile, certificateFile));
    } else {
        return context;
    }
    SSL_CTX_free(context);
    return nullptr;
}
