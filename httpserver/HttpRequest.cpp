#include "HttpRequest.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryFile>

#include <cstdio>

#include <algorithm>

HttpRequest::HttpRequest(qint64 spoolThreshold, const QString &tempDir)
    : mSpoolThreshold(spoolThreshold)
    , mTempDir(tempDir)
{
}

HttpRequest::~HttpRequest() = default;

QByteArray HttpRequest::getPath() const
{
    return urlDecode(mRawPath);
}

QByteArray HttpRequest::getHeader(const QByteArray &name) const
{
    return mHeaders.value(name.toLower());
}

QList<QByteArray> HttpRequest::getHeaders(const QByteArray &name) const
{
    // QMultiMap::values lists the latest insertion first; callers expect wire order.
    QList<QByteArray> values = mHeaders.values(name.toLower());
    std::reverse(values.begin(), values.end());
    return values;
}

QByteArray HttpRequest::getParameter(const QByteArray &name) const
{
    const QList<QByteArray> values = getParameters(name);
    return values.isEmpty() ? QByteArray() : values.first();
}

QList<QByteArray> HttpRequest::getParameters(const QByteArray &name) const
{
    QList<QByteArray> values = mParameters.values(name);
    std::reverse(values.begin(), values.end());
    return values;
}

QByteArray HttpRequest::getBody() const
{
    if (!mSpoolFile)
        return mBody;
    const qint64 position = mSpoolFile->pos();
    mSpoolFile->seek(0);
    const QByteArray body = mSpoolFile->readAll();
    mSpoolFile->seek(position);
    return body;
}

QIODevice *HttpRequest::getBodyDevice()
{
    if (mSpoolFile) {
        mSpoolFile->seek(0);
        return mSpoolFile.get();
    }
    if (!mBodyDevice) {
        auto *buffer = new QBuffer(&mBody);
        buffer->open(QIODevice::ReadOnly);
        mBodyDevice.reset(buffer);
    }
    mBodyDevice->seek(0);
    return mBodyDevice.get();
}

QByteArray HttpRequest::urlDecode(const QByteArray &text, bool plusAsSpace)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '%' && i + 2 < text.size() && hex(text.at(i + 1)) >= 0 && hex(text.at(i + 2)) >= 0) {
            out.append(char(hex(text.at(i + 1)) * 16 + hex(text.at(i + 2))));
            i += 2;
        } else if (c == '+' && plusAsSpace) {
            out.append(' ');
        } else {
            out.append(c);
        }
    }
    return out;
}

void HttpRequest::setRequestLine(const QByteArray &method, const QByteArray &target,
                                 const QByteArray &version)
{
    mMethod = method;
    mTarget = target;
    mVersion = version;
    const qsizetype q = target.indexOf('?');
    mRawPath = q < 0 ? target : target.left(q);
    if (q >= 0)
        parseQuery(target.mid(q + 1), mParameters);
    mKeepAlive = version == "HTTP/1.1";
}

void HttpRequest::addHeader(const QByteArray &name, const QByteArray &value)
{
    const QByteArray key = name.toLower();
    mHeaders.insert(key, value.trimmed());
    if (key == "connection") {
        const QList<QByteArray> tokens = value.toLower().split(',');
        for (const QByteArray &t : tokens) {
            const QByteArray token = t.trimmed();
            if (token == "close")
                mKeepAlive = false;
            else if (token == "keep-alive")
                mKeepAlive = true;
        }
    }
}

void HttpRequest::parseQuery(const QByteArray &query, QMultiMap<QByteArray, QByteArray> &into)
{
    const QList<QByteArray> pairs = query.split('&');
    for (const QByteArray &pair : pairs) {
        if (pair.isEmpty())
            continue;
        const qsizetype eq = pair.indexOf('=');
        const QByteArray name = urlDecode(eq < 0 ? pair : pair.left(eq), true);
        const QByteArray value = eq < 0 ? QByteArray() : urlDecode(pair.mid(eq + 1), true);
        into.insert(name, value);
    }
}

bool HttpRequest::appendBody(const char *data, qint64 size)
{
    if (size <= 0)
        return true;
    mBodySize += size;
    if (!mSpoolFile && mBody.size() + size <= mSpoolThreshold) {
        mBody.append(data, size);
        return true;
    }
    if (!mSpoolFile) {
        // The system's temporary directory is looked up only for a body that needs it.
        const QString dir = mTempDir.isEmpty() ? QDir::tempPath() : mTempDir;
        auto file = std::make_unique<QTemporaryFile>(dir + QStringLiteral("/hxbupload-XXXXXX"));
        if (!file->open())
            return false;
        if (!mBody.isEmpty() && file->write(mBody) != mBody.size())
            return false;
        mBody.clear();
        mBody.squeeze();
        mSpoolFile = std::move(file);
    }
    return mSpoolFile->write(data, size) == size;
}

bool HttpRequest::moveSpooledBody(const QString &target)
{
    if (!mSpoolFile || !mSpoolFile->flush())
        return false;
    const QByteArray from = QFile::encodeName(mSpoolFile->fileName());
    if (::rename(from.constData(), QFile::encodeName(target).constData()) != 0)
        return false;
    mSpoolFile->setAutoRemove(false);
    return true;
}

bool HttpRequest::finishBody()
{
    if (mSpoolFile) {
        if (!mSpoolFile->flush())
            return false;
        mSpoolFile->seek(0);
        return true;
    }
    const QByteArray type = getHeader("content-type").toLower();
    if (type.startsWith("application/x-www-form-urlencoded"))
        parseQuery(mBody, mParameters);
    return true;
}
