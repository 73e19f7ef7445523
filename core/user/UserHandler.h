#pragma once

#include "module/HXBModule.h"
#include "web/HXBRequestHandler.h"

#include <memory>
#include <string>

class User;

// The REST handler behind "/user" and the core's own module: log-in with HTTP Basic,
// sessions with Bearer tokens, own password change and, for administrators (type 1), the
// administration of accounts. The sub-command is the first keyword of
//     login, updatePassword, list, logout, extendToken, create, delete, setType, resetPassword
// found anywhere in the request path. Every refusal is 405 "not allowed", except a new user
// name, type or password that breaks the account rules (400 with the rule as text) and a
// log-in while the name or the address must wait after failures (429 with "Retry-After").
// Every answer carries "Content-Type: application/json".
//
// Account rules: a user name has 1 to 64 bytes, no ":" and no control character; a type is
// the JSON integer 0 or 1; a new password has at least 8 characters (older ones still work).
//
// Stateless apart from the shared account model; service() runs on many connection threads
// at once. The operations return an empty string (or false) for a refusal and never throw.
class UserHandler : public HXBRequestHandler, public HXBModule
{
public:
    static std::shared_ptr<UserHandler> instance();

    void service(const std::string &path, HttpRequest &request, HttpResponse &response) override;

    std::string login(const std::string &username, const std::string &password);
    bool logout(const std::string &token);
    std::string extendToken(const std::string &token);
    bool logoutAllSessions(const std::string &token);
    std::string getUserList(const std::string &token);
    // Ends every other session of the caller. A new password that breaks the rules is refused
    // with the rule in *badRequest (if given); so are the bodies of createUser and
    // resetUserPassword. A change the database did not take sets *unavailable (if given):
    // nothing was changed, and the client is told so (503).
    bool updatePassword(const std::string &token, const std::string &body,
                        std::string *badRequest = nullptr, bool *unavailable = nullptr);
    std::string createUser(const std::string &token, const std::string &body,
                           std::string *badRequest = nullptr, bool *unavailable = nullptr);
    std::string deleteUser(const std::string &token, const std::string &body);
    std::string setUserType(const std::string &token, const std::string &body, bool *unavailable = nullptr);
    std::string resetUserPassword(const std::string &token, const std::string &body,
                                  std::string *badRequest = nullptr, bool *unavailable = nullptr);
    // The second halves of createUser and resetUserPassword, for a caller whose token was
    // found to be an administrator's: under the account-rules lock they check again that the
    // caller still is one (a demotion or deletion may have come in between).
    std::string createUserAs(const std::shared_ptr<User> &caller, const std::string &body,
                             std::string *badRequest = nullptr, bool *unavailable = nullptr);
    std::string resetUserPasswordAs(const std::shared_ptr<User> &caller, const std::string &body,
                                    std::string *badRequest = nullptr, bool *unavailable = nullptr);

    // The account rules; empty when the value keeps them, else the rule as text.
    static std::string checkUsername(const std::string &name);
    static std::string checkNewPassword(const std::string &password);

    // Owned here from library load on; constructing it registers the module.
    static std::shared_ptr<UserHandler> mpInstance;

protected:
    // Loads the accounts (User::init) and registers "/user" on the root router.
    void doInit() override;
};
