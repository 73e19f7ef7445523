#include "UserHandler.h"

#include "HXBBasicAuth.h"
#include "HXBLoginThrottle.h"
#include "User.h"
#include "log/HXBLogger.h"
#include "web/HXBWebRouter.h"

#include "httpserver/HttpRequest.h"
#include "httpserver/HttpResponse.h"

#include <QString>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>

std::shared_ptr<UserHandler> UserHandler::mpInstance = std::make_shared<UserHandler>();

namespace {

using nlohmann::json;

// Bodies of this endpoint are a few short fields; anything larger is refused unread.
constexpr qint64 sMaxBodySize = 64 * 1024;

// Makes the check of the administrator rules and the change that follows one step, so that
// two administrators acting at once cannot remove the last administrator between them.
// Taken before allUsersMutex and any user's lock.
std::mutex sAccountRulesMutex;

struct UserInfo
{
    double id = 0;
    double type = 0;
    std::string username;
};

struct UserList
{
    std::vector<UserInfo> users;
};

void to_json(json &j, const UserInfo &info)
{
    j = json{{"id", info.id}, {"type", info.type}, {"username", info.username}};
}

void to_json(json &j, const UserList &list)
{
    j = json{{"users", list.users}};
}

json parseBody(const std::string &body)
{
    return json::parse(body);
}

// A JSON number as int; anything else, or a value outside int, throws.
int intField(const json &object, const char *name)
{
    const json &value = object.at(name);
    if (value.is_number_integer()) {
        if (value.is_number_unsigned()) {
            const auto v = value.get<std::uint64_t>();
            if (v > std::uint64_t(std::numeric_limits<int>::max()))
                throw std::out_of_range(std::string("\"") + name + "\" is out of range");
            return static_cast<int>(v);
        }
        const auto v = value.get<std::int64_t>();
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
            throw std::out_of_range(std::string("\"") + name + "\" is out of range");
        return static_cast<int>(v);
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!std::isfinite(v) || v < double(std::numeric_limits<int>::min())
            || v >= double(std::numeric_limits<int>::max()) + 1.0) {
            throw std::out_of_range(std::string("\"") + name + "\" is out of range");
        }
        return static_cast<int>(v);
    }
    throw std::invalid_argument(std::string("\"") + name + "\" must be a number");
}

std::string stringField(const json &object, const char *name)
{
    return object.at(name).get<std::string>();
}

bool isUserType(int type)
{
    return static_cast<unsigned int>(type) <= 1u;
}

// A type is the JSON integer 0 or 1, nothing that converts to it.
bool isUserTypeField(const json &object, const char *name)
{
    const auto it = object.find(name);
    return it != object.end() && it->is_number_integer() && isUserType(intField(object, name));
}

const char *const sTypeRule = "type must be 0 or 1";

void setBadRequest(std::string *badRequest, const std::string &text)
{
    if (badRequest)
        *badRequest = text;
}

// The account change was not stored (the database did not take it): nothing was changed.
void setUnavailable(bool *unavailable)
{
    if (unavailable)
        *unavailable = true;
}

std::shared_ptr<User> adminOf(const std::string &token)
{
    auto caller = User::getUserByToken(token);
    if (!caller || !caller->isAdmin())
        return {};
    return caller;
}

// Under sAccountRulesMutex: the caller was not demoted or deleted while the request waited.
bool stillAdmin(const std::shared_ptr<User> &caller)
{
    return caller->isAdmin() && User::getUserById(caller->getId()) == caller;
}

HXBLogger *log()
{
    return HXBLogger::instance();
}

} // namespace

std::shared_ptr<UserHandler> UserHandler::instance()
{
    return mpInstance;
}

void UserHandler::doInit()
{
    auto self = shared_from_base<UserHandler>();
    User::init();
    HXBWebRouter::instance()->registerRoute("/user", self);
}

std::string UserHandler::checkUsername(const std::string &name)
{
    const bool clean = std::none_of(name.begin(), name.end(), [](char c) {
        return c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (name.empty() || name.size() > 64 || !clean)
        return "user name must be 1 to 64 bytes without \":\" or control characters";
    return {};
}

std::string UserHandler::checkNewPassword(const std::string &password)
{
    if (QString::fromStdString(password).toUcs4().size() < 8)
        return "password must have at least 8 characters";
    return {};
}

void UserHandler::service(const std::string &, HttpRequest &request, HttpResponse &response)
{
    response.setHeader("Content-Type", "application/json");
    const HXBCredentials credentials =
        HXBBasicAuth::parse(request.getHeader("Authorization").toStdString());
    const std::string path = request.getPath().toStdString();
    const auto has = [&path](const char *keyword) { return path.find(keyword) != std::string::npos; };
    const auto body = [&request]() -> std::string {
        if (request.getBodySize() > sMaxBodySize)
            return {};
        return request.getBody().toStdString();
    };
    const std::string &token = credentials.token;

    std::string result;
    std::string badRequest;
    bool unavailable = false;
    qint64 retryAfter = 0;
    if (has("login")) {
        if (credentials.basic)
            result = User::login(credentials.username, credentials.password,
                                 HXBLoginThrottle::addressKey(request.getPeerAddress()),
                                 &retryAfter);
    } else if (has("updatePassword")) {
        if (updatePassword(token, body(), &badRequest, &unavailable))
            result = "updated password";
    } else if (has("list")) {
        result = getUserList(token);
    } else if (has("logout")) {
        if (logout(token))
            result = "logged out";
    } else if (has("extendToken")) {
        result = extendToken(token);
    } else if (has("create")) {
        result = createUser(token, body(), &badRequest, &unavailable);
    } else if (has("delete")) {
        result = deleteUser(token, body());
    } else if (has("setType")) {
        result = setUserType(token, body(), &unavailable);
    } else if (has("resetPassword")) {
        result = resetUserPassword(token, body(), &badRequest, &unavailable);
    }

    if (retryAfter > 0) {
        response.setStatus(429, "Too Many Requests");
        response.setHeader("Retry-After", retryAfter);
        response.write("too many failed log-ins; try again later", true);
    } else if (unavailable) {
        response.setStatus(503, "Service Unavailable");
        response.write("the change could not be saved; nothing was changed", true);
    } else if (!badRequest.empty()) {
        response.setStatus(400, "Bad Request");
        response.write(QByteArray::fromStdString(badRequest), true);
    } else if (!result.empty()) {
        response.setStatus(200, "OK");
        response.write(QByteArray::fromStdString(result), true);
    } else {
        response.setStatus(405, "not allowed");
        response.write("not allowed", true);
    }
}

std::string UserHandler::login(const std::string &username, const std::string &password)
{
    return User::login(username, password);
}

bool UserHandler::logout(const std::string &token)
{
    return User::logoutUserByToken(token);
}

std::string UserHandler::extendToken(const std::string &token)
{
    return User::renewSession(token);
}

bool UserHandler::logoutAllSessions(const std::string &token)
{
    auto user = User::getUserByToken(token);
    if (!user)
        return false;
    user->clearAllTokens();
    return true;
}

std::string UserHandler::getUserList(const std::string &token)
{
    if (!adminOf(token))
        return {};
    try {
        UserList list;
        for (const auto &user : User::getAllUsers())
            list.users.push_back({double(user->getId()), double(user->getType()), user->getUsername()});
        return json(list).dump();
    } catch (const std::exception &e) {
        log()->logNormalCritical("getUserList", "failed to serialize user list", e.what());
        return {};
    }
}

bool UserHandler::updatePassword(const std::string &token, const std::string &body,
                                 std::string *badRequest, bool *unavailable)
{
    auto caller = User::getUserByToken(token);
    if (!caller)
        return false;
    std::string oldPassword;
    std::string newPassword;
    try {
        const json request = parseBody(body);
        oldPassword = stringField(request, "oldPassword");
        newPassword = stringField(request, "newPassword");
    } catch (const std::exception &e) {
        log()->logNormalWarn("updatePassword", "updatePassword failed", e.what());
        return false;
    }
    if (newPassword.empty())
        return false;
    if (!caller->checkPassword(oldPassword)) {
        log()->logNormalWarn("updatePassword", "old password incorrect", "");
        return false;
    }
    if (const std::string rule = checkNewPassword(newPassword); !rule.empty()) {
        setBadRequest(badRequest, rule);
        return false;
    }
    if (caller->changeOwnPassword(newPassword, token))
        return true;
    setUnavailable(unavailable);
    return false;
}

std::string UserHandler::createUser(const std::string &token, const std::string &body,
                                    std::string *badRequest, bool *unavailable)
{
    auto caller = adminOf(token);
    if (!caller)
        return {};
    return createUserAs(caller, body, badRequest, unavailable);
}

std::string UserHandler::createUserAs(const std::shared_ptr<User> &caller, const std::string &body,
                                      std::string *badRequest, bool *unavailable)
{
    std::string username;
    std::string password;
    int type = -1;
    try {
        const json request = parseBody(body);
        username = stringField(request, "username");
        password = stringField(request, "password");
        if (request.contains("type") && !isUserTypeField(request, "type")) {
            setBadRequest(badRequest, sTypeRule);
            return {};
        }
        type = intField(request, "type");
    } catch (const std::exception &e) {
        log()->logNormalWarn("createUser", "create User failed", e.what());
        return {};
    }
    for (const std::string &rule : {checkUsername(username), checkNewPassword(password)}) {
        if (!rule.empty()) {
            setBadRequest(badRequest, rule);
            return {};
        }
    }
    std::lock_guard<std::mutex> rules(sAccountRulesMutex);
    if (!stillAdmin(caller))
        return {};
    if (User::getUserByName(username)) {
        log()->logNormalWarn("createUser", "user already exists", username);
        return {};
    }
    auto user = User::create(username, password, static_cast<FUserType>(type));
    if (!user) {
        log()->logNormalWarn("createUser", "create User failed", "the account could not be stored");
        setUnavailable(unavailable);
        return {};
    }
    return json{{"id", user->getId()}}.dump();
}

std::string UserHandler::deleteUser(const std::string &token, const std::string &body)
{
    auto caller = adminOf(token);
    if (!caller)
        return {};
    int id = 0;
    try {
        id = intField(parseBody(body), "userId");
    } catch (const std::exception &e) {
        log()->logNormalWarn("deleteUser", "deleteUser failed", e.what());
        return {};
    }
    if (id == 0)
        return {};
    std::lock_guard<std::mutex> rules(sAccountRulesMutex);
    if (!stillAdmin(caller))
        return {};
    auto target = User::getUserById(id);
    if (!target)
        return {};
    if (target->getId() == caller->getId()) {
        log()->logNormalWarn("deleteUser", "cannot delete yourself", "");
        return {};
    }
    if (target->isAdmin() && User::countAdmins() < 2) {
        log()->logNormalWarn("deleteUser", "cannot delete last Admin user", "");
        return {};
    }
    target->clearAllTokens();
    target->destroy();
    log()->logNormalInfo("deleteUser", "deleted user", "");
    return json{{"deleted", id}}.dump();
}

std::string UserHandler::setUserType(const std::string &token, const std::string &body, bool *unavailable)
{
    auto caller = adminOf(token);
    if (!caller)
        return {};
    int id = 0;
    int type = -1;
    try {
        const json request = parseBody(body);
        id = intField(request, "userId");
        type = isUserTypeField(request, "type") ? intField(request, "type") : -1;
    } catch (const std::exception &e) {
        log()->logNormalWarn("setUserType", "setUserType failed", e.what());
        return {};
    }
    std::lock_guard<std::mutex> rules(sAccountRulesMutex);
    if (!stillAdmin(caller))
        return {};
    auto target = User::getUserById(id);
    if (!isUserType(type) || id == 0 || !target)
        return {};
    if (target->getId() == caller->getId()) {
        log()->logNormalWarn("setUserType", "cannot change your own user type", "");
        return {};
    }
    if (target->isAdmin() && type == FUserTypeNormal && User::countAdmins() <= 1) {
        log()->logNormalWarn("setUserType", "cannot demote last admin user", "");
        return {};
    }
    if (!target->setType(static_cast<FUserType>(type))) {
        setUnavailable(unavailable);
        return {};
    }
    log()->logHighInfo("setUserType", "set type of user", "");
    return json{{"newType", type}, {"userId", id}}.dump();
}

std::string UserHandler::resetUserPassword(const std::string &token, const std::string &body,
                                           std::string *badRequest, bool *unavailable)
{
    auto caller = adminOf(token);
    if (!caller)
        return {};
    return resetUserPasswordAs(caller, body, badRequest, unavailable);
}

std::string UserHandler::resetUserPasswordAs(const std::shared_ptr<User> &caller,
                                             const std::string &body, std::string *badRequest,
                                             bool *unavailable)
{
    int id = 0;
    std::string password;
    try {
        const json request = parseBody(body);
        id = intField(request, "userId");
        password = stringField(request, "password");
    } catch (const std::exception &e) {
        log()->logNormalWarn("resetUserPassword", "changing user password failed", e.what());
        return {};
    }
    std::lock_guard<std::mutex> rules(sAccountRulesMutex);
    if (!stillAdmin(caller))
        return {};
    auto target = id != 0 ? User::getUserById(id) : nullptr;
    if (!target || password.empty())
        return {};
    if (const std::string rule = checkNewPassword(password); !rule.empty()) {
        setBadRequest(badRequest, rule);
        return {};
    }
    if (!target->resetPassword(password)) {
        setUnavailable(unavailable);
        return {};
    }
    log()->logHighInfo("resetUserPassword", "Password changed", "");
    return json{{"reset", id}}.dump();
}
