#include "HXBBasicAuth.h"

#include <QByteArray>

namespace {

std::string removeAll(std::string text, const std::string &what)
{
    std::string::size_type pos = 0;
    while ((pos = text.find(what, pos)) != std::string::npos)
        text.erase(pos, what.size());
    return text;
}

} // namespace

bool HXBBasicAuth::splitUserPassword(const std::string &decoded, std::string &username,
                                     std::string &password)
{
    const std::string::size_type colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    username = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

HXBCredentials HXBBasicAuth::parse(const std::string &authorization)
{
    HXBCredentials credentials;
    // A value that starts as a Bearer token is one, even if "Basic" occurs in the token text.
    const bool bearerScheme = authorization.compare(0, 7, "Bearer ") == 0;
    if (!bearerScheme && authorization.find("Basic") != std::string::npos) {
        const std::string encoded = removeAll(authorization, "Basic ");
        const QByteArray decoded = QByteArray::fromBase64(
            QByteArray(encoded.data(), static_cast<qsizetype>(encoded.size())));
        credentials.basic = splitUserPassword(decoded.toStdString(), credentials.username,
                                              credentials.password);
    } else if (authorization.find("Bearer") != std::string::npos) {
        credentials.token = removeAll(authorization, "Bearer ");
    }
    return credentials;
}
