#include "DbTestSupport.h"
#include "user/User.h"

#include "TestSupport.h"
#include "config/HXBConfig.h"
#include "user/HXBLoginThrottle.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "jws/Base64Url.h"
#include "jws/Hs256Jws.h"
#include "user/HXBPasswordHash.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QVariant>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <string>
#include <thread>

using nlohmann::json;

// Reaches the token internals that a test needs to build tokens the server would sign.
class UserTestAccess
{
public:
    static std::string key() { return User::signingKey(); }
    // What a reset does to the account, without the cost of a key derivation.
    static void replacePassword(User &user, const std::string &hash)
    {
        std::lock_guard<std::mutex> member(user.mMemberMutex);
        user.mPassword = hash;
        user.mTokenHashes.clear();
    }
    static void addSession(User &user, const std::string &hash, std::int64_t expiry,
                           std::int64_t loginTime = 0)
    {
        std::lock_guard<std::mutex> member(user.mMemberMutex);
        user.mTokenHashes.emplace(hash, User::Session{expiry, loginTime ? loginTime : expiry - 3600});
    }
};

namespace {

struct Row
{
    bool found = false;
    int type = -1;
    QString username;
    QString password;
};

Row readRow(int id)
{
    HXBQuery q = HXBDB::getQuery();
    q.prepare(QStringLiteral("SELECT mType, mUsername, mPassword FROM USERS WHERE mId = ?;"));
    q.addBindValue(id);
    Row row;
    if (q.read() && q.next()) {
        row.found = true;
        row.type = q.value(0).isNull() ? -1 : q.value(0).toInt();
        row.username = q.value(1).toString();
        row.password = q.value(2).toString();
    }
    return row;
}

int rowCount()
{
    HXBQuery q = HXBDB::getQuery();
    if (q.read(QStringLiteral("SELECT COUNT(*) FROM USERS;")) && q.next())
        return q.value(0).toInt();
    return -1;
}

json decodePart(const std::string &token, int index)
{
    std::string::size_type start = 0;
    for (int i = 0; i < index; ++i)
        start = token.find('.', start) + 1;
    const std::string::size_type end = token.find('.', start);
    return json::parse(*jws::base64UrlDecode(token.substr(start, end - start)));
}

} // namespace

// One fresh SQLite file per test; the account list starts empty as at process start.
class UserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mDb.use();
        User::allUsers.clear();
        HXBLoginThrottle::instance()->clear();
    }

    void TearDown() override
    {
        // Let deferred writes of this test finish before the next test switches files.
        waitForQueue();
        User::allUsers.clear();
    }

    static void start()
    {
        User::initTables();
        User::loadAllUsers();
    }

    // A marker update queued after everything else: once it is in the table, the
    // controller has run every earlier item.
    void waitForQueue()
    {
        HXBDB::getQuery().write(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS USERS (mId INTEGER PRIMARY KEY ,mType INTEGER ,mUsername "
            "MEDIUMTEXT, mPassword MEDIUMTEXT );"));
        auto marker = std::make_shared<User>();
        marker->createInDb();
        const std::string name = "marker-" + std::to_string(marker->mId);
        marker->setUsername(name);
        ASSERT_TRUE(hxbtest::waitUntil(
            [&] { return readRow(marker->mId).username == QString::fromStdString(name); }, 10000));
        marker->destroy();
    }

    static std::string sign(const json &claims, const std::string &key = UserTestAccess::key())
    {
        return jws::Hs256Jws(key).sign(claims);
    }

    static json claimsFor(const std::shared_ptr<User> &user, const std::string &hash)
    {
        return json{{"iss", "ZRKN"},
                    {"exp", QDateTime::currentSecsSinceEpoch() + 600},
                    {"sub", user->getUsername()},
                    {"userid", std::to_string(user->getId())},
                    {"tokenhash", hash}};
    }

    hxbtest::TestDatabase mDb{QStringLiteral("users.sqlite")};
};

TEST_F(UserTest, FirstStartCreatesOneDefaultAdministrator)
{
    start();
    ASSERT_EQ(User::getAllUsers().size(), 1u);
    auto admin = User::getUserByName("admin");
    ASSERT_TRUE(admin);
    EXPECT_EQ(admin->getType(), FUserTypeAdmin);
    EXPECT_GT(admin->getId(), 0);
    EXPECT_TRUE(admin->checkPassword("tansy"));
    EXPECT_FALSE(User::getUserByName("Admin"));

    const int id = admin->getId();
    ASSERT_TRUE(hxbtest::waitUntil([&] {
        const Row row = readRow(id);
        return row.username == "admin" && row.type == 1 && row.password.size() == 87;
    }, 10000));
    const std::string storedHash = admin->mPassword;

    // Second start on the same table: nothing new, the stored account is loaded.
    User::allUsers.clear();
    start();
    EXPECT_EQ(rowCount(), 1);
    ASSERT_EQ(User::getAllUsers().size(), 1u);
    auto loaded = User::getUserById(id);
    ASSERT_TRUE(loaded);
    EXPECT_NE(loaded, admin);
    EXPECT_EQ(loaded->getUsername(), "admin");
    EXPECT_EQ(loaded->getType(), FUserTypeAdmin);
    EXPECT_EQ(loaded->mPassword, storedHash);
}

TEST_F(UserTest, AChangeTheDatabaseDoesNotTakeIsRefusedAndNotKept)
{
    start();
    auto anna = User::create("anna", "secret-password", FUserTypeNormal);
    ASSERT_TRUE(anna);
    ASSERT_TRUE(HXBDB::getQuery().write(QStringLiteral("DROP TABLE USERS;")));
    EXPECT_FALSE(anna->setType(FUserTypeAdmin));
    EXPECT_FALSE(anna->setUsername("anna2"));
    EXPECT_FALSE(anna->resetPassword("another-password"));
    EXPECT_FALSE(anna->changeOwnPassword("another-password", ""));
    EXPECT_EQ(anna->getType(), FUserTypeNormal);
    EXPECT_EQ(anna->getUsername(), "anna");
    EXPECT_TRUE(anna->checkPassword("secret-password"));
}

TEST_F(UserTest, ChangesReachTheTableInOrder)
{
    start();
    auto anna = User::create("anna", "secret", FUserTypeNormal);
    ASSERT_GT(anna->getId(), 1);
    EXPECT_EQ(User::getUserById(anna->getId()), anna);
    anna->setType(FUserTypeAdmin);
    anna->setUsername("anna2");
    anna->setType(FUserTypeNormal);
    anna->setUsername("anna3");
    EXPECT_EQ(anna->getUsername(), "anna3");

    const int id = anna->getId();
    ASSERT_TRUE(hxbtest::waitUntil([&] {
        const Row row = readRow(id);
        return row.username == "anna3" && row.password.startsWith("{PBKDF2-SHA256}");
    }, 10000));
    EXPECT_EQ(readRow(id).type, 0);

    auto fresh = std::make_shared<User>();
    fresh->mId = id;
    EXPECT_TRUE(fresh->initFromDb());
    EXPECT_EQ(fresh->mUsername, "anna3");
    EXPECT_EQ(fresh->mType, FUserTypeNormal);
    EXPECT_EQ(fresh->mPassword, anna->mPassword);
    EXPECT_TRUE(fresh->checkPassword("secret"));

    // No row: members keep their values, the result is still true.
    auto ghost = std::make_shared<User>();
    ghost->mId = 999;
    ghost->mUsername = "ghost";
    EXPECT_TRUE(ghost->initFromDb());
    EXPECT_EQ(ghost->mUsername, "ghost");
}

TEST_F(UserTest, ARecentlyVerifiedPasswordStopsCountingWhenThePasswordChanges)
{
    start();
    auto anna = User::create("anna", "secret", FUserTypeNormal);
    ASSERT_TRUE(anna);
    // The second check is answered from the remembered verification, and a wrong password
    // never is.
    EXPECT_TRUE(anna->checkPassword("secret"));
    EXPECT_TRUE(anna->checkPassword("secret"));
    EXPECT_FALSE(anna->checkPassword("secreT"));
    EXPECT_FALSE(anna->checkPassword(""));
    ASSERT_TRUE(anna->setPassword("other"));
    EXPECT_FALSE(anna->checkPassword("secret"));
    EXPECT_TRUE(anna->checkPassword("other"));
}

TEST_F(UserTest, DestroyRemovesRowAndListEntryOnly)
{
    start();
    auto bob = User::create("bob");
    const int id = bob->getId();
    ASSERT_TRUE(readRow(id).found);
    bob->destroy();
    EXPECT_FALSE(readRow(id).found);
    EXPECT_FALSE(User::getUserById(id));
    EXPECT_FALSE(User::getUserByName("bob"));
    EXPECT_EQ(bob->getUsername(), "bob");
    EXPECT_EQ(User::getAllUsers().size(), 1u);

    User unowned;
    EXPECT_THROW(unowned.createInDb(), std::bad_weak_ptr);
}

TEST_F(UserTest, LookupsMatchExactlyAndCountOnlyAdministrators)
{
    start();
    auto a = User::create("Carl");
    auto b = User::create("carl");
    auto odd = User::create("odd");
    odd->setType(static_cast<FUserType>(2));
    b->setType(FUserTypeAdmin);

    EXPECT_EQ(User::getUserByName("Carl"), a);
    EXPECT_EQ(User::getUserByName("carl"), b);
    EXPECT_FALSE(User::getUserByName("CARL"));
    EXPECT_FALSE(User::getUserByName("carl "));
    EXPECT_EQ(User::getUserById(b->getId()), b);
    EXPECT_FALSE(User::getUserById(0));
    EXPECT_FALSE(User::getUserById(-1));
    EXPECT_EQ(User::countAdmins(), 2);

    auto list = User::getAllUsers();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1], a);
    EXPECT_EQ(list[3], odd);
    list.clear();
    EXPECT_EQ(User::getAllUsers().size(), 4u);

    // Duplicate names are not prevented here: the first one is found.
    auto second = User::create("Carl");
    EXPECT_EQ(User::getUserByName("Carl"), a);
}

TEST_F(UserTest, GeneratedTokenCarriesExactlyTheSessionClaims)
{
    start();
    auto admin = User::getUserByName("admin");
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const std::string token = admin->generateToken();
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    ASSERT_FALSE(token.empty());

    EXPECT_EQ(decodePart(token, 0), json::parse(R"({"alg":"HS256","typ":"JWS"})"));
    const json claims = decodePart(token, 1);
    ASSERT_EQ(claims.size(), 5u) << claims.dump();
    EXPECT_EQ(claims["iss"], "ZRKN");
    EXPECT_EQ(claims["sub"], "admin");
    EXPECT_EQ(claims["userid"], std::to_string(admin->getId()));
    const std::string hash = claims["tokenhash"].get<std::string>();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^000\\d{7}$")).match(QString::fromStdString(hash)).hasMatch()) << hash;
    EXPECT_NE(hash, "0000000000");
    const qint64 hours = HXBConfig::instance()->getTokenExpirationHours();
    ASSERT_TRUE(claims["exp"].is_number_integer());
    EXPECT_GE(claims["exp"].get<qint64>(), before + hours * 3600);
    EXPECT_LE(claims["exp"].get<qint64>(), after + hours * 3600);

    EXPECT_EQ(admin->getTokenHashes(), std::set<std::string>{hash});
    EXPECT_EQ(User::getUserByToken(token), admin);
}

TEST_F(UserTest, SessionsEndOneByOneOrAllAtOnce)
{
    start();
    auto admin = User::getUserByName("admin");
    const std::string a = admin->generateToken();
    const std::string b = admin->generateToken();
    const std::string c = admin->generateToken();
    EXPECT_EQ(admin->getTokenHashes().size(), 3u);
    EXPECT_EQ(User::getUserByToken(a), admin);

    EXPECT_TRUE(User::logoutUserByToken(a));
    EXPECT_FALSE(User::logoutUserByToken(a));
    EXPECT_FALSE(User::getUserByToken(a));
    EXPECT_EQ(User::getUserByToken(b), admin);
    EXPECT_EQ(User::getUserByToken(c), admin);

    admin->clearAllTokens();
    EXPECT_FALSE(User::getUserByToken(b));
    EXPECT_FALSE(User::getUserByToken(c));
    EXPECT_FALSE(User::logoutUserByToken(b));
    EXPECT_FALSE(admin->clearToken("0001234567"));

    EXPECT_FALSE(User::getUserByToken(""));
    EXPECT_FALSE(User::logoutUserByToken(""));
    EXPECT_FALSE(User::getUserByToken("not a token"));

    // Sessions past their expiry are dropped when the next one opens; a just-expired one stays
    // for the margin.
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    UserTestAccess::addSession(*admin, "0000000001", now - 3600);
    UserTestAccess::addSession(*admin, "0000000002", now - 5);
    const std::string fresh = admin->generateToken();
    EXPECT_EQ(admin->getTokenHashes().count("0000000001"), 0u);
    EXPECT_EQ(admin->getTokenHashes().count("0000000002"), 1u);
    EXPECT_EQ(User::getUserByToken(fresh), admin);

    // Renewal adds a session only for a session still open.
    const std::string d = admin->generateToken();
    const std::string renewed = User::renewSession(d);
    EXPECT_EQ(User::getUserByToken(renewed), admin);
    EXPECT_EQ(User::getUserByToken(d), admin);
    admin->clearAllTokens();
    EXPECT_EQ(User::renewSession(d), "");
    EXPECT_EQ(User::renewSession("not a token"), "");

    // A destroyed user's token no longer resolves.
    auto temp = User::create("temp");
    const std::string t = temp->generateToken();
    EXPECT_EQ(User::getUserByToken(t), temp);
    temp->destroy();
    EXPECT_FALSE(User::getUserByToken(t));
    EXPECT_FALSE(User::logoutUserByToken(t));
    EXPECT_EQ(User::renewSession(t), "");
}

TEST_F(UserTest, RefusesTokensTheServerDidNotIssue)
{
    start();
    auto admin = User::getUserByName("admin");
    const std::string hash = admin->generateTokenHash();
    const json good = claimsFor(admin, hash);
    ASSERT_EQ(User::getUserByToken(sign(good)), admin) << "the reference token must be accepted";

    const auto with = [&](const char *name, const json &value) {
        json c = good;
        c[name] = value;
        return sign(c);
    };
    const auto without = [&](const char *name) {
        json c = good;
        c.erase(name);
        return sign(c);
    };
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const struct
    {
        const char *what;
        std::string token;
    } rows[] = {
        {"the constant key of earlier builds", sign(good, "wQpL4nZ7k#")},
        {"another random key", sign(good, std::string(32, 'k'))},
        {"other issuer", with("iss", "zrkn")},
        {"no issuer", without("iss")},
        {"expired a second ago", with("exp", now - 1)},
        {"expires now", with("exp", now)},
        {"userid as number", with("userid", admin->getId())},
        {"userid not numeric", with("userid", "admin")},
        {"userid 0", with("userid", "0")},
        {"unknown userid", with("userid", "4711")},
        {"no userid", without("userid")},
        {"tokenhash as number", with("tokenhash", std::stoi(hash))},
        {"tokenhash not open", with("tokenhash", "0009999999")},
        {"no tokenhash", without("tokenhash")},
    };
    for (const auto &row : rows) {
        EXPECT_FALSE(User::getUserByToken(row.token)) << row.what;
        EXPECT_FALSE(User::logoutUserByToken(row.token)) << row.what;
    }
    EXPECT_EQ(admin->getTokenHashes().count(hash), 1u) << "refused tokens end no session";
    EXPECT_EQ(User::getUserByToken(with("exp", now + 2)), admin);
}

TEST_F(UserTest, SigningKeyIsRandomAndUsable)
{
    const std::string key = UserTestAccess::key();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key, UserTestAccess::key());
    EXPECT_NE(key.find_first_not_of(key[0]), std::string::npos);
}

TEST_F(UserTest, ConcurrentSessionsOfOneUserAreAllKept)
{
    start();
    auto admin = User::getUserByName("admin");
    constexpr int threads = 4;
    constexpr int perThread = 50;
    std::atomic<int> accepted{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                const std::string token = admin->generateToken();
                if (User::getUserByToken(token) == admin)
                    ++accepted;
                admin->setType(FUserTypeAdmin);
                (void)User::countAdmins();
            }
        });
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(accepted.load(), threads * perThread);
    EXPECT_EQ(admin->getTokenHashes().size(), size_t(threads * perThread));
}

TEST_F(UserTest, LogInCostsOneDerivationWhetherOrNotTheNameExists)
{
    start();
    auto anna = User::create("anna", "secret", FUserTypeNormal);
    ASSERT_TRUE(anna);
    User::login("nobody", ""); // makes the stand-in hash, as start-up does
    const struct
    {
        const char *name;
        const char *password;
        bool opens;
    } rows[] = {
        {"nobody", "secret", false},
        {"anna", "wrong", false},
        {"anna", "secret", true},
        {"nobody", "", false},
    };
    for (const auto &row : rows) {
        const std::uint64_t before = HXBPasswordHash::derivationCount();
        EXPECT_EQ(User::login(row.name, row.password).empty(), !row.opens) << row.name;
        EXPECT_EQ(HXBPasswordHash::derivationCount() - before, 1u)
            << row.name << " " << row.password;
        // HTTP Basic on the other routes: the same cost for an unknown name.
        if (!row.opens) {
            const std::uint64_t basicBefore = HXBPasswordHash::derivationCount();
            EXPECT_FALSE(User::authenticate(row.name, row.password, "192.0.2.1"));
            EXPECT_EQ(HXBPasswordHash::derivationCount() - basicBefore, 1u) << row.name;
        }
    }
}

TEST_F(UserTest, OwnPasswordChangeEndsEveryOtherSession)
{
    start();
    auto anna = User::create("anna", "secret-1", FUserTypeNormal);
    ASSERT_TRUE(anna);
    const std::string current = User::login("anna", "secret-1");
    const std::string other = User::login("anna", "secret-1");
    ASSERT_TRUE(anna->changeOwnPassword("secret-2", current));
    EXPECT_EQ(User::getUserByToken(current), anna);
    EXPECT_FALSE(User::getUserByToken(other));
    EXPECT_EQ(User::renewSession(other), "");
    EXPECT_TRUE(anna->checkPassword("secret-2"));
    // Without a session of its own (a token of somebody else), every session ends.
    ASSERT_TRUE(anna->changeOwnPassword("secret-3", User::getUserByName("admin")->generateToken()));
    EXPECT_FALSE(User::getUserByToken(current));
}

TEST_F(UserTest, RenewalEndsAtTheSessionLimitCountedFromTheLogIn)
{
    start();
    auto admin = User::getUserByName("admin");
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    const std::int64_t limit = std::int64_t(HXBConfig::instance()->getSessionMaxHours()) * 3600;
    const auto tokenOf = [&](const std::string &hash) {
        UserTestAccess::addSession(*admin, hash, now + 600, hash == "0000000011" ? now - limit + 100 : now - limit);
        return sign({{"iss", "ZRKN"}, {"exp", now + 600}, {"sub", "admin"},
                     {"userid", std::to_string(admin->getId())}, {"tokenhash", hash}});
    };
    // Logged in almost the limit ago: renewed once more, up to the limit and no further.
    const std::string renewed = User::renewSession(tokenOf("0000000011"));
    ASSERT_NE(renewed, "");
    EXPECT_EQ(decodePart(renewed, 1)["exp"].get<std::int64_t>(), now + 100);
    // Logged in the limit ago: no renewal, although the token is still valid.
    const std::string atLimit = tokenOf("0000000012");
    EXPECT_EQ(User::getUserByToken(atLimit), admin);
    EXPECT_EQ(User::renewSession(atLimit), "");
}

TEST_F(UserTest, LogInCheckedAgainstAReplacedPasswordOpensNoSession)
{
    start();
    auto anna = User::create("anna");
    // Slow enough that the password is replaced while the log-in still derives its key.
    UserTestAccess::replacePassword(*anna, HXBPasswordHash::hash("old", 400000));
    const std::string newHash = HXBPasswordHash::hash("new", 1);
    const std::uint64_t before = HXBPasswordHash::derivationCount();
    std::string token = "not answered";
    std::thread login([&] { token = User::login("anna", "old"); });
    EXPECT_TRUE(hxbtest::waitUntil([&] { return HXBPasswordHash::derivationCount() > before; },
                                   10000));
    UserTestAccess::replacePassword(*anna, newHash);
    login.join();
    EXPECT_EQ(token, "");
    EXPECT_TRUE(anna->getTokenHashes().empty());
    EXPECT_FALSE(User::login("anna", "new").empty());
}

TEST_F(UserTest, ResetReplacesThePasswordAndEndsEverySession)
{
    start();
    auto admin = User::getUserByName("admin");
    const std::string token = admin->generateToken();
    ASSERT_TRUE(admin->resetPassword("fresh"));
    EXPECT_FALSE(User::getUserByToken(token));
    EXPECT_TRUE(admin->checkPassword("fresh"));
    EXPECT_FALSE(admin->checkPassword("tansy"));
}
