#include "HXBRequestAuth.h"

#include "HXBBasicAuth.h"
#include "HXBLoginThrottle.h"
#include "User.h"

#include "httpserver/HttpRequest.h"

HXBRequestAuth::Outcome HXBRequestAuth::authenticate(const HttpRequest &request)
{
    Outcome outcome;
    const HXBCredentials credentials
        = HXBBasicAuth::parse(request.getHeader("Authorization").toStdString());
    if (credentials.basic) {
        outcome.user = User::authenticate(credentials.username, credentials.password,
                                          HXBLoginThrottle::addressKey(request.getPeerAddress()),
                                          &outcome.retryAfterSeconds);
    } else if (!credentials.token.empty()) {
        outcome.user = User::getUserByToken(credentials.token);
    }
    return outcome;
}

HttpBodyPolicy HXBRequestAuth::refusal(const Outcome &outcome)
{
    HttpBodyPolicy policy;
    if (outcome.retryAfterSeconds > 0) {
        policy.refuseStatus = 429;
        policy.refuseReason = "Too Many Requests";
        policy.refuseBody = "too many failed log-ins; try again later";
        policy.refuseHeaders.append({"Retry-After", QByteArray::number(outcome.retryAfterSeconds)});
    } else {
        policy.refuseStatus = 401;
        policy.refuseReason = "unauthorized";
        policy.refuseBody = "unauthorized";
    }
    return policy;
}
