#include "User.h"

#include "HXBLoginThrottle.h"
#include "HXBPasswordHash.h"
#include "config/HXBConfig.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include "jws/Hs256Jws.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QRandomGenerator64>
#include <QSettings>
#include <QVariant>

#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <functional>

std::vector<std::shared_ptr<User>> User::allUsers;
std::mutex User::allUsersMutex;
std::atomic<bool> User::sLoadPending{false};
std::mutex User::sLoadMutex;

namespace {

const char *const sIssuer = "ZRKN";

// The first administrator's password. "Core/initial_admin_password_file" names a file whose
// first line is the password (an installation makes a random one there); without the key the
// built-in default is used. ok is false when the key is set but the file gives no password:
// then no administrator is made, rather than one with the published default.
struct InitialAdminPassword
{
    bool ok = true;
    std::string password = "tansy";
    QString file; // empty for the default
};

InitialAdminPassword initialAdminPassword()
{
    InitialAdminPassword initial;
    const QSettings *settings = HXBConfig::instance()->getSettings();
    if (settings)
        initial.file = HXBConfig::textValue(*settings,
                                            QStringLiteral("Core/initial_admin_password_file"));
    if (initial.file.isEmpty())
        return initial;
    QFile file(initial.file);
    initial.password = file.open(QIODevice::ReadOnly)
        ? file.readLine(4096).trimmed().toStdString()
        : std::string();
    initial.ok = !initial.password.empty();
    return initial;
}
constexpr int sSigningKeySize = 32;
// A clash with an open session's hash is redrawn so that every session ends on its own.
constexpr int sTokenHashAttempts = 16;

// Writes one column of the account's row at once; false when the database did not take it
// (the caller then keeps the old value: a change is never acknowledged that is not stored).
bool writeColumn(const char *statement, const QVariant &value, int id)
{
    HXBQuery query = HXBDB::getQuery();
    if (!query.prepare(QString::fromLatin1(statement)))
        return false;
    query.addBindValue(value);
    query.addBindValue(id);
    if (query.write())
        return true;
    HXBLogger::instance()->logNormalCritical("User", "the database did not take an account change",
                                             statement);
    return false;
}

// USERIDS remembers the highest account ID ever issued. USERS.mId alone would let SQLite
// hand a deleted account's ID to the next account, and with it everything recorded under
// that ID (the jobs a deleted user owned, for one).
const char *const sCreateIdTable = "CREATE TABLE IF NOT EXISTS USERIDS (lastId INTEGER);";

// Sets the remembered highest ID; a negative value forgets it.
bool rememberHighestId(int id)
{
    HXBQuery update = HXBDB::getQuery();
    if (id < 0)
        return update.write(QStringLiteral("DELETE FROM USERIDS;"));
    update.prepare(QStringLiteral("UPDATE USERIDS SET lastId = ?;"));
    update.addBindValue(id);
    if (!update.write())
        return false;
    if (update.numRowsAffected() > 0)
        return true;
    HXBQuery first = HXBDB::getQuery();
    first.prepare(QStringLiteral("INSERT INTO USERIDS(lastId) VALUES(?);"));
    first.addBindValue(id);
    return first.write();
}

// Issues an ID above every ID ever issued and inserts its row; 0 when that fails. The
// counter is raised before the row is inserted, so no failure in between can reissue an ID;
// a refused insert puts the counter back (dbMutex keeps other writers out meanwhile).
int insertUserRow()
{
    std::lock_guard<std::recursive_mutex> writes(dbMutex);
    HXBQuery create = HXBDB::getQuery();
    create.write(QString::fromLatin1(sCreateIdTable));
    HXBQuery counter = HXBDB::getQuery();
    if (!counter.read(QStringLiteral("SELECT lastId FROM USERIDS;")))
        return 0;
    const int remembered = counter.next() ? counter.value(0).toInt() : -1;
    HXBQuery rows = HXBDB::getQuery();
    if (!rows.read(QStringLiteral("SELECT MAX(mId) FROM USERS;")))
        return 0;
    const int highestRow = rows.next() ? rows.value(0).toInt() : 0;
    const int id = std::max(remembered, highestRow) + 1;
    if (!rememberHighestId(id))
        return 0;
    HXBQuery insert = HXBDB::getQuery();
    insert.prepare(QStringLiteral("INSERT INTO USERS(mId) VALUES(?);"));
    insert.addBindValue(id);
    if (insert.write())
        return id;
    rememberHighestId(remembered);
    return 0;
}

std::int64_t nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

void User::init()
{
    static std::once_flag once;
    std::call_once(once, []() {
        // Draw the signing key and the stand-in hash now rather than at the first log-in.
        signingKey();
        absentAccountHash();
        sLoadPending = true;
    });
    retryPendingLoad();
}

void User::retryPendingLoad()
{
    if (!sLoadPending)
        return;
    std::lock_guard<std::mutex> lock(sLoadMutex);
    if (!sLoadPending)
        return;
    if (initTables() && loadAllUsers()) {
        sLoadPending = false;
        return;
    }
    HXBLogger::instance()->logNormalCritical("User", "could not read the user accounts; trying again at the next look-up",
                                             "");
}

bool User::initTables()
{
    HXBQuery query = HXBDB::getQuery();
    if (!query.write(QStringLiteral("CREATE TABLE IF NOT EXISTS USERS (mId INTEGER PRIMARY KEY ,mType "
                                    "INTEGER ,mUsername MEDIUMTEXT, mPassword MEDIUMTEXT );"))
        || !query.write(QString::fromLatin1(sCreateIdTable)))
        return false;
    HXBQuery select = HXBDB::getQuery();
    // Only a table that was read and found empty gets the default administrator.
    if (!select.read(QStringLiteral("SELECT mId FROM USERS;")))
        return false;
    if (select.next())
        return true;
    const InitialAdminPassword initial = initialAdminPassword();
    const std::string from = initial.file.isEmpty() ? std::string("pass: tansy")
                                                    : "password from " + S(initial.file);
    if (!initial.ok) {
        HXBLogger::instance()->logNormalCritical(
            "initTables", "No users found, and no initial administrator password: no user created",
            from + " cannot be read or is empty");
        return true;
    }
    HXBLogger::instance()->logNormalWarn("initTables", "No users found, creating default admin user",
                                         "user: admin, " + from);
    auto admin = std::make_shared<User>();
    admin->createInDb();
    admin->setUsername("admin");
    admin->setPassword(initial.password);
    admin->setType(FUserTypeAdmin);
    // The clear password has served its purpose; the installation keeps its own copy for root.
    if (!initial.file.isEmpty())
        QFile::remove(initial.file);
    return admin->getId() > 0;
}

bool User::loadAllUsers()
{
    HXBQuery select = HXBDB::getQuery();
    if (!select.read(QStringLiteral("SELECT mId FROM USERS;")))
        return false;
    std::lock_guard<std::mutex> lock(allUsersMutex);
    while (select.next()) {
        const int id = select.value(0).toInt();
        if (findByIdLocked(id))
            continue;
        auto user = std::make_shared<User>();
        user->mId = id;
        user->initFromDb();
        allUsers.push_back(user);
    }
    return true;
}

void User::createInDb()
{
    auto self = shared_from_this();
    const int id = insertUserRow();
    {
        std::lock_guard<std::mutex> member(mMemberMutex);
        mId = id;
    }
    HXBLogger::instance()->logNormalInfo("createInDb", "inserted id", fromNumber(id));
    std::lock_guard<std::mutex> lock(allUsersMutex);
    allUsers.push_back(self);
}

bool User::initFromDb()
{
    const int id = getId();
    HXBQuery query = HXBDB::getQuery();
    query.prepare(QStringLiteral("SELECT mUsername, mPassword, mType FROM USERS WHERE mId == ?;"));
    query.addBindValue(id);
    query.read();
    if (query.next()) {
        std::lock_guard<std::mutex> member(mMemberMutex);
        mUsername = S(query.value(0).toString());
        mPassword = S(query.value(1).toString());
        mType = static_cast<FUserType>(query.value(2).toInt());
    }
    return true;
}

void User::destroy()
{
    auto self = shared_from_this();
    HXBQuery query = HXBDB::getQuery();
    query.prepare(QStringLiteral("DELETE FROM USERS WHERE mId = ?;"));
    query.addBindValue(getId());
    query.write();
    std::lock_guard<std::mutex> lock(allUsersMutex);
    allUsers.erase(std::remove(allUsers.begin(), allUsers.end(), self), allUsers.end());
}

std::shared_ptr<User> User::create(const std::string &username)
{
    auto user = std::make_shared<User>();
    user->createInDb();
    user->setUsername(username);
    return user;
}

std::shared_ptr<User> User::create(const std::string &username, const std::string &password,
                                   FUserType type)
{
    auto user = std::make_shared<User>();
    user->createInDb();
    if (user->getId() <= 0) {
        // No row was inserted: forget the object rather than keep an account without a row.
        std::lock_guard<std::mutex> lock(allUsersMutex);
        allUsers.erase(std::remove(allUsers.begin(), allUsers.end(), user), allUsers.end());
        return {};
    }
    if (!user->setUsername(username) || !user->setPassword(password) || !user->setType(type)) {
        user->destroy();
        return {};
    }
    return user;
}

bool User::setUsername(const std::string &name)
{
    // Written under the lock, so that the table ends with the value the member ends with.
    std::lock_guard<std::mutex> member(mMemberMutex);
    if (!writeColumn("UPDATE USERS SET mUsername = ? WHERE mId = ?;", Q(name), mId))
        return false;
    mUsername = name;
    return true;
}

bool User::setType(FUserType type)
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    if (!writeColumn("UPDATE USERS SET mType = ? WHERE mId = ?;", int(type), mId))
        return false;
    mType = type;
    return true;
}

bool User::storePassword(const std::string &password, const std::function<void()> &endSessions)
{
    // The derivation takes a while: it runs without holding the member lock.
    const std::string hash = HXBPasswordHash::hash(password);
    if (hash.empty()) {
        HXBLogger::instance()->logNormalCritical("setPassword", "password hash failed; not updating ",
                                                 getUsername());
        return false;
    }
    std::lock_guard<std::mutex> member(mMemberMutex);
    if (!writeColumn("UPDATE USERS SET mPassword = ? WHERE mId = ?;", Q(hash), mId))
        return false;
    mPassword = hash;
    if (endSessions)
        endSessions();
    return true;
}

bool User::setPassword(const std::string &password)
{
    return storePassword(password, {});
}

namespace {

std::string passwordMac(const std::string &key, const std::string &password)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (key.empty()
        || !HMAC(EVP_sha256(), key.data(), int(key.size()),
                 reinterpret_cast<const unsigned char *>(password.data()), password.size(), mac, &size))
        return {};
    return std::string(reinterpret_cast<const char *>(mac), size);
}

} // namespace

bool User::checkPassword(const std::string &password) const
{
    const std::string mac = passwordMac(signingKey(), password);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    std::string stored;
    {
        std::lock_guard<std::mutex> member(mMemberMutex);
        stored = mPassword;
        if (!mac.empty() && mVerifiedMac.size() == mac.size() && mVerifiedAgainst == stored
            && now < mVerifiedUntilMs
            && CRYPTO_memcmp(mVerifiedMac.data(), mac.data(), mac.size()) == 0)
            return true;
    }
    if (!HXBPasswordHash::verify(password, stored))
        return false;
    std::lock_guard<std::mutex> member(mMemberMutex);
    if (!mac.empty() && mPassword == stored) {
        mVerifiedMac = mac;
        mVerifiedAgainst = stored;
        mVerifiedUntilMs = now + sVerifiedLifetimeMs;
    }
    return true;
}

bool User::changeOwnPassword(const std::string &password, const std::string &currentToken)
{
    TokenIdentity identity;
    const bool current = decodeToken(currentToken, identity) && identity.userId == getId();
    // Whoever may have learnt the old password keeps none of the sessions it opened.
    return storePassword(password, [&] {
        std::erase_if(mTokenHashes, [&](const auto &session) {
            return !current || session.first != identity.tokenHash;
        });
    });
}

bool User::resetPassword(const std::string &password)
{
    return storePassword(password, [this] { mTokenHashes.clear(); });
}

int User::getId() const
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    return mId;
}

FUserType User::getType() const
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    return mType;
}

bool User::isAdmin() const
{
    return getType() == FUserTypeAdmin;
}

std::string User::getUsername() const
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    return mUsername;
}

std::shared_ptr<User> User::findByIdLocked(int id)
{
    for (const auto &user : allUsers) {
        if (user->getId() == id)
            return user;
    }
    return {};
}

std::shared_ptr<User> User::getUserById(int id)
{
    retryPendingLoad();
    std::lock_guard<std::mutex> lock(allUsersMutex);
    return findByIdLocked(id);
}

std::shared_ptr<User> User::getUserByName(const std::string &name)
{
    retryPendingLoad();
    std::lock_guard<std::mutex> lock(allUsersMutex);
    for (const auto &user : allUsers) {
        if (user->getUsername() == name)
            return user;
    }
    return {};
}

std::vector<std::shared_ptr<User>> User::getAllUsers()
{
    retryPendingLoad();
    std::lock_guard<std::mutex> lock(allUsersMutex);
    return allUsers;
}

int User::countAdmins()
{
    retryPendingLoad();
    std::lock_guard<std::mutex> lock(allUsersMutex);
    return static_cast<int>(std::count_if(allUsers.begin(), allUsers.end(),
                                          [](const auto &user) { return user->isAdmin(); }));
}

const std::string &User::signingKey()
{
    static const std::string key = []() {
        unsigned char bytes[sSigningKeySize];
        if (RAND_bytes(bytes, sSigningKeySize) != 1) {
            HXBLogger::instance()->logNormalCritical("signingKey", "RAND_bytes failed",
                                                     "no session tokens can be issued");
            return std::string();
        }
        return std::string(reinterpret_cast<const char *>(bytes), sSigningKeySize);
    }();
    return key;
}

std::string User::addTokenHashLocked(std::int64_t loginTime, std::int64_t *expiryOut)
{
    // Sessions nobody logged out of would otherwise stay for the life of the process.
    const std::int64_t now = nowSeconds();
    // The margin spares a token that expires this very moment while it is being renewed.
    std::erase_if(mTokenHashes, [now](const auto &session) { return session.second.expiry + 60 < now; });
    if (loginTime <= 0)
        loginTime = now;
    HXBConfig *config = HXBConfig::instance();
    const std::int64_t expiry = std::min<std::int64_t>(
        now + std::int64_t(config->getTokenExpirationHours()) * 3600,
        loginTime + std::int64_t(std::max(0, config->getSessionMaxHours())) * 3600);
    if (expiryOut)
        *expiryOut = expiry;
    std::string hash;
    for (int attempt = 0; attempt < sTokenHashAttempts; ++attempt) {
        const quint64 v = QRandomGenerator64::global()->generate() & 0xFFFFFFFFu;
        const quint64 number = v * 9999999u / (quint64(1) << 32) + 1;
        char text[16];
        std::snprintf(text, sizeof text, "%010llu", static_cast<unsigned long long>(number));
        hash = text;
        if (mTokenHashes.emplace(hash, Session{expiry, loginTime}).second)
            break;
    }
    return hash;
}

std::string User::generateTokenHash()
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    return addTokenHashLocked();
}

std::string User::generateToken()
{
    std::int64_t expiry = 0;
    std::string hash;
    {
        std::lock_guard<std::mutex> member(mMemberMutex);
        hash = addTokenHashLocked(0, &expiry);
    }
    return signToken(hash, expiry);
}

std::string User::signToken(const std::string &hash, std::int64_t expiry)
{
    try {
        std::string username;
        int id;
        {
            std::lock_guard<std::mutex> member(mMemberMutex);
            username = mUsername;
            id = mId;
        }
        const nlohmann::json claims = {
            {"iss", sIssuer},
            {"exp", expiry},
            {"sub", username},
            {"userid", fromNumber(id)},
            {"tokenhash", hash},
        };
        return jws::Hs256Jws(signingKey()).sign(claims);
    } catch (const std::exception &e) {
        HXBLogger::instance()->logNormalCritical("generateToken", "failed to generate token",
                                                 e.what());
        return {};
    }
}

const std::string &User::absentAccountHash()
{
    static const std::string hash = HXBPasswordHash::hash(std::string());
    return hash;
}

namespace {

// What a failed log-in is counted and logged under: long names by their digest, so that
// the throttle's memory stays small whatever clients send.
std::string throttleKey(const std::string &username)
{
    if (username.size() <= 64)
        return username;
    return "sha256:"
           + QCryptographicHash::hash(QByteArray::fromStdString(username), QCryptographicHash::Sha256)
                 .toHex()
                 .toStdString();
}

std::string printable(const std::string &text)
{
    std::string out;
    for (const char c : text.substr(0, 64))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return text.size() > 64 ? out + "..." : out;
}

} // namespace

std::shared_ptr<User> User::checkLogin(const std::string &username, const std::string &password,
                                       const std::string &address, qint64 *retryAfterSeconds,
                                       bool useVerifiedCache, std::string *checkedHash)
{
    HXBLoginThrottle *throttle = HXBLoginThrottle::instance();
    const std::string key = throttleKey(username);
    // Refused unchecked and unlogged: a guesser gets no answer and cannot fill the log.
    const qint64 wait = throttle->waitMs(key, address, HXBLoginThrottle::nowMs());
    if (wait > 0) {
        if (retryAfterSeconds)
            *retryAfterSeconds = (wait + 999) / 1000;
        return {};
    }
    auto user = getUserByName(username);
    bool ok = false;
    if (!user) {
        // As long as a wrong password: the answer time does not tell which names exist.
        HXBPasswordHash::verify(password, absentAccountHash());
    } else if (useVerifiedCache) {
        ok = user->checkPassword(password);
    } else {
        std::string checked;
        {
            std::lock_guard<std::mutex> member(user->mMemberMutex);
            checked = user->mPassword;
        }
        ok = HXBPasswordHash::verify(password, checked);
        if (checkedHash)
            *checkedHash = checked;
    }
    if (!ok) {
        throttle->recordFailure(key, address, HXBLoginThrottle::nowMs());
        HXBLogger::instance()->logNormalWarn("login", "login failed",
                                             "user: " + printable(username) + ", address: " + address);
        return {};
    }
    throttle->recordSuccess(key);
    return user;
}

std::shared_ptr<User> User::authenticate(const std::string &username, const std::string &password,
                                         const std::string &address, qint64 *retryAfterSeconds)
{
    return checkLogin(username, password, address, retryAfterSeconds, true, nullptr);
}

std::string User::login(const std::string &username, const std::string &password,
                        const std::string &address, qint64 *retryAfterSeconds)
{
    std::string checked;
    auto user = checkLogin(username, password, address, retryAfterSeconds, false, &checked);
    if (!user)
        return {};
    std::string hash;
    std::int64_t expiry = 0;
    {
        std::lock_guard<std::mutex> member(user->mMemberMutex);
        if (user->mPassword != checked)
            return {};
        hash = user->addTokenHashLocked(0, &expiry);
    }
    return user->signToken(hash, expiry);
}

bool User::decodeToken(const std::string &token, TokenIdentity &identity)
{
    if (token.empty())
        return false;
    const jws::Hs256Jws verifier(signingKey());
    const jws::JwsVerification result =
        verifier.verify(token, sIssuer, nowSeconds(), {"userid", "tokenhash"});
    if (!result.ok())
        return false;
    try {
        const std::string userid = result.claims.at("userid").get<std::string>();
        bool ok = false;
        identity.userId = QByteArray::fromStdString(userid).toInt(&ok);
        if (!ok || identity.userId <= 0)
            return false;
        identity.tokenHash = result.claims.at("tokenhash").get<std::string>();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

std::shared_ptr<User> User::getUserByToken(const std::string &token)
{
    TokenIdentity identity;
    if (!decodeToken(token, identity))
        return {};
    auto user = getUserById(identity.userId);
    if (!user)
        return {};
    // Searched under the user's lock rather than in a copy: the set grows with every
    // log-in and renewal, and a copy per request would cost time in proportion to it.
    {
        std::lock_guard<std::mutex> member(user->mMemberMutex);
        if (user->mTokenHashes.count(identity.tokenHash) == 0)
            return {};
    }
    return user;
}

std::string User::renewSession(const std::string &token)
{
    TokenIdentity identity;
    if (!decodeToken(token, identity))
        return {};
    auto user = getUserById(identity.userId);
    if (!user)
        return {};
    std::string hash;
    std::int64_t expiry = 0;
    {
        // The check and the new session are one step: a reset or a deletion that ends every
        // session either comes first (nothing renewed) or ends the new one too.
        std::lock_guard<std::mutex> member(user->mMemberMutex);
        const auto session = user->mTokenHashes.find(identity.tokenHash);
        if (session == user->mTokenHashes.end())
            return {};
        const std::int64_t loginTime = session->second.loginTime;
        const std::int64_t maxHours = std::max(0, HXBConfig::instance()->getSessionMaxHours());
        if (nowSeconds() >= loginTime + maxHours * 3600)
            return {};
        hash = user->addTokenHashLocked(loginTime, &expiry);
    }
    return user->signToken(hash, expiry);
}

bool User::logoutUserByToken(const std::string &token)
{
    TokenIdentity identity;
    if (!decodeToken(token, identity))
        return false;
    auto user = getUserById(identity.userId);
    if (!user)
        return false;
    return user->clearToken(identity.tokenHash);
}

bool User::clearToken(const std::string &hash)
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    return mTokenHashes.erase(hash) > 0;
}

void User::clearAllTokens()
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    mTokenHashes.clear();
}

std::set<std::string> User::getTokenHashes() const
{
    std::lock_guard<std::mutex> member(mMemberMutex);
    std::set<std::string> hashes;
    for (const auto &session : mTokenHashes)
        hashes.insert(hashes.end(), session.first);
    return hashes;
}
