// Feeds bytes to HttpRequestParser in pieces whose sizes come from the input, then reads every
// part of the parsed request and parses what is left over as the next pipelined request.
// Small limits make the size refusals and the spooling of bodies to a file reachable.

#include "httpserver/HttpRequest.h"
#include "httpserver/HttpRequestParser.h"

#include <QIODevice>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

const QString &spoolDir()
{
    static const QTemporaryDir dir;
    static const QString path = dir.path();
    return path;
}

void readRequest(HttpRequest &request)
{
    (void)request.getMethod();
    (void)request.getPath();
    (void)request.getTarget();
    (void)request.getVersion();
    (void)request.getHeader("content-type");
    (void)request.getHeaders("host");
    (void)request.getParameterMap();
    (void)request.isKeepAlive();
    (void)request.getBody();
    if (QIODevice *device = request.getBodyDevice())
        (void)device->readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    // First byte: the piece size (1 to 64; 0 means all at once).
    const std::size_t piece = data[0] % 65;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    QByteArray rest(bytes, static_cast<qsizetype>(size - 1));

    HttpRequestParser::Limits limits;
    limits.maxRequestSize = 2048;
    limits.maxMultiPartSize = 4096;
    limits.maxHeaderSize = 1024;
    limits.spoolThreshold = 256;
    limits.tempDir = spoolDir();

    // A pipelined stream holds at most a few messages; each one needs at least one byte.
    for (int message = 0; message < 8 && !rest.isEmpty(); ++message) {
        HttpRequestParser parser(limits);
        if (piece == 0) {
            parser.feed(rest);
        } else {
            for (qsizetype at = 0; at < rest.size()
                 && parser.status() == HttpRequestParser::Status::NeedMore; at += piece)
                parser.feed(rest.constData() + at, std::min<qsizetype>(piece, rest.size() - at));
        }
        if (parser.status() == HttpRequestParser::Status::NeedMore) {
            (void)parser.expectsContinue();
            parser.feedEof();
        }
        if (parser.status() != HttpRequestParser::Status::Complete) {
            (void)parser.errorStatus();
            (void)parser.errorReason();
            break;
        }
        std::unique_ptr<HttpRequest> request = parser.takeRequest();
        if (request)
            readRequest(*request);
        const QByteArray leftover = parser.leftover();
        if (leftover.size() >= rest.size())
            __builtin_trap(); // the parser must consume at least one byte of a message
        rest = leftover;
    }
    return 0;
}
