#pragma once

#include "httpserver/HttpBodyPolicy.h"

#include <QtGlobal>

#include <memory>

class HttpRequest;
class User;

// Who sent a request, from its "Authorization" header: HTTP Basic (checked through
// User::authenticate, so throttled and logged) or a Bearer token. Stateless, any thread.
class HXBRequestAuth
{
public:
    struct Outcome
    {
        std::shared_ptr<User> user;
        // Seconds a throttled Basic log-in must wait; 0 otherwise.
        qint64 retryAfterSeconds = 0;
    };

    static Outcome authenticate(const HttpRequest &request);
    // The answer for a request without a user: 401 "unauthorized", or 429 with
    // "Retry-After" while the name or the address must wait.
    static HttpBodyPolicy refusal(const Outcome &outcome);
};
