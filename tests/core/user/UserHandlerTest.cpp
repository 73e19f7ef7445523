#include "DbTestSupport.h"
#include "user/UserHandler.h"

#include "TestSupport.h"
#include "ctrl/HXBDBCtrl.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "user/User.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <thread>

// The operations behind /user, called directly on a fresh database; HTTP is covered by
// the process-level tests.
class UserHandlerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mDb.use();
        User::allUsers.clear();
        User::initTables();
        User::loadAllUsers();
        mAdmin = User::getUserByName("admin");
        ASSERT_TRUE(mAdmin);
        mAdminToken = mAdmin->generateToken();
    }

    void TearDown() override
    {
        // Let the deferred writes of this test finish while its database file still exists.
        HXBDBCtrl *ctrl = HXBDBCtrl::instance();
        const quint64 passes = ctrl->passCount();
        EXPECT_TRUE(hxbtest::waitUntil(
            [&] { return ctrl->mQueue.empty() && ctrl->passCount() >= passes + 2; }, 20000));
        User::allUsers.clear();
    }

    // A user without a password (no key derivation), as the tests need many.
    static std::shared_ptr<User> quickUser(const std::string &name, FUserType type)
    {
        auto user = User::create(name);
        user->setType(type);
        return user;
    }

    UserHandler &handler() { return *UserHandler::instance(); }

    hxbtest::TestDatabase mDb{QStringLiteral("handler.sqlite")};
    std::shared_ptr<User> mAdmin;
    std::string mAdminToken;
};

TEST_F(UserHandlerTest, InstanceIsTheRegisteredModule)
{
    ASSERT_TRUE(UserHandler::instance());
    EXPECT_EQ(UserHandler::instance(), UserHandler::mpInstance);
    bool registered = false;
    for (HXBModule *module : HXBModule::getModules())
        registered |= module == static_cast<HXBModule *>(UserHandler::instance().get());
    EXPECT_TRUE(registered);
}

TEST_F(UserHandlerTest, BodiesThatAreNotWhatTheCommandNeedsAreRefused)
{
    const std::string bodies[] = {
        "",
        "{",
        "null",
        "[]",
        "5",
        R"({"username":"n","password":"p"})",
        R"({"username":"n","password":"p","type":"0"})",
        R"({"username":"n","password":"p","type":true})",
        R"({"username":"n","password":"p","type":null})",
        R"({"username":"n","password":"p","type":2})",
        R"({"username":"n","password":"p","type":-1})",
        R"({"username":"n","password":"p","type":4294967296})",
        R"({"username":"n","password":"p","type":4294967297})",
        R"({"username":"n","password":"p","type":-4294967295})",
        R"({"username":"n","password":"p","type":18446744073709551615})",
        R"({"username":"n","password":"p","type":1e300})",
        R"({"username":"n","password":"p","type":-1e300})",
        R"({"username":"n","password":["p"],"type":0})",
        R"({"username":"","password":"p","type":0})",
        R"({"username":"n","password":"","type":0})",
        "{\"username\":\"\xff\",\"password\":\"p\",\"type\":0}",
    };
    for (const std::string &body : bodies)
        EXPECT_EQ(handler().createUser(mAdminToken, body), "") << body;
    EXPECT_FALSE(User::getUserByName("n"));
    EXPECT_EQ(User::getAllUsers().size(), 1u);

    auto target = quickUser("target", FUserTypeNormal);
    const std::string id = std::to_string(target->getId());
    for (const std::string &body :
         {std::string("{}"), std::string(R"({"userId":1e300})"), std::string(R"({"userId":"1"})"),
          std::string(R"({"userId":-1e10})"), R"({"userId":)" + id + R"(.5e10,"type":1})"}) {
        EXPECT_EQ(handler().setUserType(mAdminToken, body), "") << body;
        EXPECT_EQ(handler().deleteUser(mAdminToken, body), "") << body;
        EXPECT_EQ(handler().resetUserPassword(mAdminToken, body), "") << body;
    }
    for (const std::string &body : {R"({"userId":)" + id + R"(,"type":4294967297})",
                                    R"({"userId":)" + id + R"(,"type":1.5e300})"})
        EXPECT_EQ(handler().setUserType(mAdminToken, body), "") << body;
    EXPECT_EQ(target->getType(), FUserTypeNormal);
    EXPECT_EQ(User::getUserById(target->getId()), target);

    // A fractional id names the user it truncates to.
    EXPECT_EQ(handler().setUserType(mAdminToken, R"({"userId":)" + id + R"(.7,"type":1})"),
              R"({"newType":1,"userId":)" + id + "}");
}

TEST_F(UserHandlerTest, NewNamesTypesAndPasswordsMustKeepTheAccountRules)
{
    const std::string nameRule = "user name must be 1 to 64 bytes without \":\" or control characters";
    const std::string typeRule = "type must be 0 or 1";
    const std::string passwordRule = "password must have at least 8 characters";
    const auto body = [](const std::string &name, const std::string &password, const std::string &type) {
        return R"({"username":")" + name + R"(","password":")" + password + R"(","type":)" + type + "}";
    };
    const struct
    {
        std::string body;
        std::string rule;
    } rows[] = {
        {body("a:b", "long enough", "0"), nameRule},
        {body("tab\\tname", "long enough", "0"), nameRule},
        {body("del\\u007fname", "long enough", "0"), nameRule},
        {body(std::string(65, 'x'), "long enough", "0"), nameRule},
        {body("", "long enough", "0"), nameRule},
        {body("fine", "seven77", "0"), passwordRule},
        {body("fine", "\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4", "0"), passwordRule},
        {body("fine", "long enough", "1.5"), typeRule},
        {body("fine", "long enough", "1.0"), typeRule},
        {body("fine", "long enough", "\"1\""), typeRule},
        {body("fine", "long enough", "true"), typeRule},
        {body("fine", "long enough", "2"), typeRule},
    };
    for (const auto &row : rows) {
        std::string bad;
        EXPECT_EQ(handler().createUser(mAdminToken, row.body, &bad), "") << row.body;
        EXPECT_EQ(bad, row.rule) << row.body;
    }
    EXPECT_EQ(User::getAllUsers().size(), 1u);
    // At the limits: 64 bytes of name, 8 characters of password (16 bytes here).
    std::string bad;
    EXPECT_NE(handler().createUser(mAdminToken, body(std::string(64, 'x'), "\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4", "1"), &bad), "");
    EXPECT_EQ(bad, "");

    // New passwords set by an administrator or by the user follow the same rule.
    auto bert = User::create("bert", "old password", FUserTypeNormal);
    ASSERT_TRUE(bert);
    const std::string id = std::to_string(bert->getId());
    EXPECT_EQ(handler().resetUserPassword(mAdminToken, R"({"userId":)" + id + R"(,"password":"short"})", &bad), "");
    EXPECT_EQ(bad, passwordRule);
    bad.clear();
    EXPECT_FALSE(handler().updatePassword(bert->generateToken(),
                                          R"({"oldPassword":"old password","newPassword":"short"})", &bad));
    EXPECT_EQ(bad, passwordRule);
    EXPECT_TRUE(bert->checkPassword("old password"));
}

TEST_F(UserHandlerTest, AnswersUseTheDocumentedNumberForms)
{
    auto eve = quickUser("eve", FUserTypeNormal);
    const std::string id = std::to_string(eve->getId());
    EXPECT_EQ(handler().getUserList(mAdminToken),
              R"({"users":[{"id":1.0,"type":1.0,"username":"admin"},{"id":)" + id
                  + R"(.0,"type":0.0,"username":"eve"}]})");
    EXPECT_EQ(handler().setUserType(mAdminToken, R"({"type":1,"userId":)" + id + "}"),
              R"({"newType":1,"userId":)" + id + "}");
    EXPECT_EQ(handler().deleteUser(mAdminToken, R"({"userId":)" + id + "}"),
              R"({"deleted":)" + id + "}");
    EXPECT_EQ(handler().getUserList(eve->generateToken()), "");
    EXPECT_EQ(handler().getUserList(""), "");
}

TEST_F(UserHandlerTest, AdministratorsCannotRemoveTheLastAdministratorBetweenThem)
{
    // Pairs of administrators delete or demote each other at the same moment; whatever the
    // interleaving, one administrator is left.
    for (int round = 0; round < 20; ++round) {
        auto a = quickUser("a" + std::to_string(round), FUserTypeAdmin);
        auto b = quickUser("b" + std::to_string(round), FUserTypeAdmin);
        const std::string ta = a->generateToken();
        const std::string tb = b->generateToken();
        mAdmin->setType(FUserTypeNormal); // a and b are the only administrators
        ASSERT_EQ(User::countAdmins(), 2);
        const bool demote = round % 2 == 1;
        const auto act = [&](const std::string &token, const std::shared_ptr<User> &other) {
            const std::string body = "{\"userId\":" + std::to_string(other->getId())
                                     + (demote ? ",\"type\":0}" : "}");
            return demote ? handler().setUserType(token, body) : handler().deleteUser(token, body);
        };
        std::string ra;
        std::string rb;
        std::thread ta_thread([&] { ra = act(ta, b); });
        std::thread tb_thread([&] { rb = act(tb, a); });
        ta_thread.join();
        tb_thread.join();
        EXPECT_EQ(User::countAdmins(), 1) << "round " << round;
        EXPECT_NE(ra.empty(), rb.empty()) << "round " << round;
        for (const auto &user : {a, b}) {
            if (User::getUserById(user->getId()))
                user->destroy();
        }
        mAdmin->setType(FUserTypeAdmin);
    }
}

TEST_F(UserHandlerTest, CallerNoLongerAdministratorCannotCreateOrReset)
{
    // The caller's token was checked, then it was demoted or deleted before the change.
    auto target = quickUser("target", FUserTypeNormal);
    const std::string create = R"({"username":"late","password":"password-1","type":1})";
    const std::string reset = "{\"userId\":" + std::to_string(target->getId())
                              + ",\"password\":\"taken-pw\"}";
    auto demoted = quickUser("demoted", FUserTypeNormal);
    auto deleted = quickUser("deleted", FUserTypeAdmin);
    deleted->destroy();
    for (const auto &caller : {demoted, deleted}) {
        EXPECT_EQ(handler().createUserAs(caller, create), "") << caller->getUsername();
        EXPECT_EQ(handler().resetUserPasswordAs(caller, reset), "") << caller->getUsername();
    }
    EXPECT_FALSE(User::getUserByName("late"));
    const std::string session = target->generateToken();
    EXPECT_EQ(User::getUserByToken(session), target) << "no reset ended the target's sessions";

    EXPECT_EQ(handler().resetUserPasswordAs(mAdmin, reset),
              "{\"reset\":" + std::to_string(target->getId()) + "}");
    EXPECT_FALSE(User::getUserByToken(session));
    EXPECT_TRUE(target->checkPassword("taken-pw"));
}

TEST_F(UserHandlerTest, LogoutAllSessionsEndsEveryTokenOfTheCaller)
{
    const std::string second = mAdmin->generateToken();
    EXPECT_TRUE(handler().logoutAllSessions(mAdminToken));
    EXPECT_FALSE(User::getUserByToken(second));
    EXPECT_FALSE(handler().logoutAllSessions(second));
    EXPECT_EQ(handler().extendToken(second), "");
    EXPECT_FALSE(handler().logout(second));
}

TEST_F(UserHandlerTest, CreationThatCannotBeStoredIsRefusedAndLeavesNoAccount)
{
    ASSERT_TRUE(HXBDB::getQuery().write(
        hxbtest::TestDatabase::onMariaDb()
            ? QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON USERS FOR EACH ROW "
                             "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'full'")
            : QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON USERS BEGIN SELECT RAISE(ABORT, 'full'); END;")));
    const std::string body = R"({"username":"lost","password":"password-1","type":0})";
    EXPECT_EQ(handler().createUser(mAdminToken, body), "");
    EXPECT_FALSE(User::getUserByName("lost"));
    EXPECT_FALSE(User::getUserById(0));
    EXPECT_EQ(User::getAllUsers().size(), 1u);

    // Once rows can be stored again the same name is not taken.
    ASSERT_TRUE(HXBDB::getQuery().write(QStringLiteral("DROP TRIGGER refuse;")));
    EXPECT_EQ(handler().createUser(mAdminToken, body), R"({"id":2})");
}

TEST_F(UserHandlerTest, NameThatCannotBeWrittenAsJsonRefusesInsteadOfThrowing)
{
    // Not reachable through the endpoint (bodies are checked UTF-8), but a refusal either way.
    auto odd = User::create("odd\xff", "pw", FUserTypeAdmin);
    ASSERT_TRUE(odd);
    std::string token = "unset";
    EXPECT_NO_THROW(token = handler().login("odd\xff", "pw"));
    EXPECT_EQ(token, "");
    EXPECT_NO_THROW(token = odd->generateToken());
    EXPECT_EQ(token, "");
    EXPECT_NO_THROW(token = handler().getUserList(mAdminToken));
    EXPECT_EQ(token, "");
    odd->destroy();
    EXPECT_NE(handler().getUserList(mAdminToken), "");
}
