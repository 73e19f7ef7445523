#include "web/HXBWebRouter.h"

#include "httpserver/HttpRequest.h"
#include "httpserver/HttpRequestParser.h"
#include "httpserver/HttpResponse.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class BufferOutput : public HttpOutput
{
public:
    QByteArray bytes;
    bool writeAll(const char *data, qint64 size) override
    {
        bytes.append(data, size);
        return true;
    }
    bool isOpen() const override { return true; }
};

// Records the path it was given and answers with its name.
class RecordingHandler : public HXBRequestHandler
{
public:
    explicit RecordingHandler(std::string name)
        : mName(std::move(name))
    {
    }
    void service(const std::string &path, HttpRequest &, HttpResponse &response) override
    {
        paths.push_back(path);
        response.write(QByteArray::fromStdString(mName), true);
    }
    std::vector<std::string> paths;

private:
    std::string mName;
};

struct Routed
{
    int status;
    QByteArray reason;
    QByteArray wire;
};

class HXBWebRouterTest : public ::testing::Test
{
protected:
    Routed route(HXBWebRouter &router, const std::string &path)
    {
        HttpRequestParser parser;
        parser.feed("GET " + QByteArray::fromStdString(path) + " HTTP/1.1\r\nHost: t\r\n\r\n");
        BufferOutput out;
        HttpResponse response(&out);
        router.service(path, *parser.request(), response);
        const bool wroteBefore = !out.bytes.isEmpty();
        response.complete();
        Routed r{response.getStatusCode(), response.getStatusReason(), out.bytes};
        if (!wroteBefore && r.status == 404)
            r.wire = "(nothing written by the router) " + r.wire;
        return r;
    }

    std::shared_ptr<HXBWebRouter> mRouter = std::make_shared<HXBWebRouter>();
};

TEST_F(HXBWebRouterTest, SplitsPathIntoKeyAndRemainder)
{
    struct Row
    {
        std::string path, key, remainder;
    };
    const std::vector<Row> rows = {
        {"/user", "/user", "/user"},
        {"/user/login", "/user", "/login"},
        {"/batchbay/jobs/17/output", "/batchbay", "/jobs/17/output"},
        {"/user/", "/user", "/"},
        {"/", "/", "/"},
        {"", "", ""},
        {"//x", "/", "/x"},
    };
    for (const Row &row : rows) {
        std::string key, remainder;
        HXBWebRouter::splitPath(row.path, key, remainder);
        EXPECT_EQ(key, row.key) << row.path;
        EXPECT_EQ(remainder, row.remainder) << row.path;
    }
}

TEST_F(HXBWebRouterTest, HandlerReceivesItsKeyOrTheRestOfThePath)
{
    auto user = std::make_shared<RecordingHandler>("user");
    ASSERT_TRUE(mRouter->registerRoute("/user", user));
    EXPECT_EQ(route(*mRouter, "/user").status, 200);
    EXPECT_EQ(route(*mRouter, "/user/login").status, 200);
    EXPECT_EQ(user->paths, (std::vector<std::string>{"/user", "/login"}));
}

TEST_F(HXBWebRouterTest, UnknownKeyIs404NotFoundWithEmptyBody)
{
    ASSERT_TRUE(mRouter->registerRoute("/user", std::make_shared<RecordingHandler>("user")));
    for (const std::string path : {"/users", "/User", "/", "", "/nothing/else"}) {
        const Routed r = route(*mRouter, path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.reason, "NOT FOUND") << path;
        EXPECT_TRUE(r.wire.startsWith("(nothing written by the router) HTTP/1.1 404 NOT FOUND\r\n")) << path;
        EXPECT_TRUE(r.wire.contains("Content-Length: 0\r\n")) << path;
        EXPECT_TRUE(r.wire.endsWith("\r\n\r\n")) << path;
    }
}

TEST_F(HXBWebRouterTest, NestedRoutesAreChainsOfRouters)
{
    auto handler = std::make_shared<RecordingHandler>("ab");
    ASSERT_TRUE(mRouter->registerRoute("/a/b", handler));
    auto nested = std::dynamic_pointer_cast<HXBWebRouter>(mRouter->getRoute("/a"));
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(nested->getRoute("/b"), handler);

    EXPECT_EQ(route(*mRouter, "/a/b/c").status, 200);
    EXPECT_EQ(handler->paths, (std::vector<std::string>{"/c"}));
    EXPECT_EQ(route(*mRouter, "/a/x").status, 404);

    // A second route under the same prefix reuses the router.
    auto other = std::make_shared<RecordingHandler>("ac");
    ASSERT_TRUE(mRouter->registerRoute("/a/c", other));
    EXPECT_EQ(mRouter->getRoute("/a"), nested);
    EXPECT_EQ(route(*mRouter, "/a/c").wire.endsWith("ac"), true);
}

TEST_F(HXBWebRouterTest, RefusedRegistrationsKeepWhatIsThere)
{
    auto first = std::make_shared<RecordingHandler>("first");
    EXPECT_TRUE(mRouter->registerRoute("/user", first));
    EXPECT_FALSE(mRouter->registerRoute("/user", std::make_shared<RecordingHandler>("second")));
    EXPECT_EQ(mRouter->getRoute("/user"), first);

    EXPECT_FALSE(mRouter->registerRoute("user", first));
    EXPECT_FALSE(mRouter->registerRoute("", first));
    EXPECT_FALSE(mRouter->registerRouteInternal("user", first));
    EXPECT_FALSE(mRouter->registerRouteInternal("/a/b", first));
    EXPECT_EQ(mRouter->getRoute("/a"), nullptr);

    // A segment taken by a plain handler cannot hold nested routes.
    EXPECT_FALSE(mRouter->registerRoute("/user/login", first));
    EXPECT_EQ(mRouter->getRoute("/user"), first);
}

TEST_F(HXBWebRouterTest, DeregisterRemovesOnlyItsOwnKey)
{
    ASSERT_TRUE(mRouter->registerRoute("/a/b", std::make_shared<RecordingHandler>("ab")));
    EXPECT_FALSE(mRouter->deregisterRoute("/b"));
    EXPECT_TRUE(mRouter->deregisterRoute("/a"));
    EXPECT_FALSE(mRouter->deregisterRoute("/a"));
    EXPECT_EQ(route(*mRouter, "/a/b").status, 404);
}

TEST_F(HXBWebRouterTest, RootRouterIsOneSharedInstance)
{
    EXPECT_EQ(HXBWebRouter::instance(), HXBWebRouter::instance());
    EXPECT_NE(HXBWebRouter::instance(), nullptr);
}

TEST_F(HXBWebRouterTest, SharedFromBaseGivesTheDerivedOwner)
{
    auto handler = std::make_shared<RecordingHandler>("x");
    std::shared_ptr<RecordingHandler> same = handler->shared_from_base<RecordingHandler>();
    EXPECT_EQ(same, handler);
    RecordingHandler unowned("y");
    EXPECT_THROW(unowned.shared_from_base<RecordingHandler>(), std::bad_weak_ptr);
}

} // namespace
