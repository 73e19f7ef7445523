#include "httpserver/HttpRequest.h"
#include "httpserver/HttpRequestParser.h"
#include "httpserver/HttpResponse.h"
#include "httpserver/StaticFileController.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Collects what a response writes.
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

struct Answer
{
    int status = 0;
    QByteArray contentType;
    QByteArray cacheControl;
    QByteArray body;
};

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

class StaticFileControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.isValid());
        mRoot = mDir.filePath(QStringLiteral("root"));
        writeFile(mRoot + "/index.html", "<html>root</html>");
        writeFile(mRoot + "/app/main.js", "console.log(1)");
        writeFile(mRoot + "/app/style.CSS", "body{}");
        writeFile(mRoot + "/app/logo.png", "\x89PNG");
        writeFile(mRoot + "/app/data.bin", "bin");
        writeFile(mRoot + "/app/index.html", "<html>app</html>");
        writeFile(mRoot + "/a b/c.txt", "spaced");
        writeFile(mDir.filePath("secret.txt"), "outside");
        writeFile(mRoot + "/big.dat", QByteArray(200000, 'b'));
        QFile::link(mDir.filePath("secret.txt"), mRoot + "/link-out.txt");
        QFile::link(mDir.path(), mRoot + "/dir-out");
        QFile::link(mRoot + "/app/main.js", mRoot + "/link-in.js");
        QSettings settings(mDir.filePath("s.ini"), QSettings::IniFormat);
        settings.setValue("path", mRoot);
        settings.setValue("encoding", "UTF-8");
        settings.setValue("maxAge", 90000);
        settings.setValue("cacheTime", 60000);
        settings.setValue("cacheSize", 1000000);
        settings.setValue("maxCachedFileSize", 65536);
        mController = std::make_unique<StaticFileController>(&settings);
    }

    Answer get(const QByteArray &target)
    {
        HttpRequestParser parser;
        parser.feed("GET " + target + " HTTP/1.1\r\nHost: t\r\n\r\n");
        EXPECT_EQ(parser.status(), HttpRequestParser::Status::Complete) << target.constData();
        Answer a;
        if (parser.status() != HttpRequestParser::Status::Complete)
            return a;
        BufferOutput out;
        HttpResponse response(&out);
        mController->service(*parser.request(), response);
        response.complete();
        a.status = response.getStatusCode();
        a.contentType = response.getHeader("Content-Type");
        a.cacheControl = response.getHeader("Cache-Control");
        const qsizetype end = out.bytes.indexOf("\r\n\r\n");
        a.body = out.bytes.mid(end + 4);
        return a;
    }

    QTemporaryDir mDir;
    QString mRoot;
    std::unique_ptr<StaticFileController> mController;
};

TEST_F(StaticFileControllerTest, ServesFilesWithTypeByExtension)
{
    struct Row
    {
        QByteArray target;
        QByteArray body;
        QByteArray type;
    };
    const QList<Row> rows = {
        {"/app/main.js", "console.log(1)", "text/javascript; charset=UTF-8"},
        {"/app/style.CSS", "body{}", "text/css; charset=UTF-8"},
        {"/app/logo.png", "\x89PNG", "image/png"},
        {"/app/data.bin", "bin", "application/octet-stream"},
        {"/a%20b/c.txt", "spaced", "text/plain; charset=UTF-8"},
        {"/app/", "<html>app</html>", "text/html; charset=UTF-8"},
        {"/app", "<html>app</html>", "text/html; charset=UTF-8"},
        {"/", "<html>root</html>", "text/html; charset=UTF-8"},
        {"/link-in.js", "console.log(1)", "text/javascript; charset=UTF-8"},
    };
    for (const Row &row : rows) {
        const Answer a = get(row.target);
        EXPECT_EQ(a.status, 200) << row.target.constData();
        EXPECT_EQ(a.body, row.body) << row.target.constData();
        EXPECT_EQ(a.contentType, row.type) << row.target.constData();
        EXPECT_EQ(a.cacheControl, "max-age=90") << row.target.constData();
    }
}

TEST_F(StaticFileControllerTest, StreamsFilesAboveTheCacheLimit)
{
    const Answer a = get("/big.dat");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, QByteArray(200000, 'b'));
}

TEST_F(StaticFileControllerTest, NeverServesAnythingOutsideTheRoot)
{
    const QList<QByteArray> targets = {
        "/../secret.txt",
        "/app/../../secret.txt",
        "/%2e%2e/secret.txt",
        "/%2E%2E%2Fsecret.txt",
        "/app/%2e%2e/%2e%2e/secret.txt",
        "/..%2fsecret.txt",
        "/link-out.txt",
        "/dir-out/secret.txt",
        "/%00/secret.txt",
        "/..\\secret.txt",
    };
    for (const QByteArray &target : targets) {
        const Answer a = get(target);
        EXPECT_TRUE(a.status == 403 || a.status == 400 || a.status == 404) << target.constData() << " " << a.status;
        EXPECT_FALSE(a.body.contains("outside")) << target.constData();
    }
}

TEST_F(StaticFileControllerTest, MissingFilesGet404)
{
    EXPECT_EQ(get("/nothing.js").status, 404);
    EXPECT_EQ(get("/app/nothing/").status, 404);
    QFile::remove(mRoot + "/app/index.html");
    EXPECT_EQ(get("/app/").status, 404);
}

TEST_F(StaticFileControllerTest, CachedFilesAreServedUntilTheyExpire)
{
    EXPECT_EQ(get("/app/main.js").body, "console.log(1)");
    writeFile(mRoot + "/app/main.js", "changed");
    EXPECT_EQ(get("/app/main.js").body, "console.log(1)") << "within cacheTime the cached copy answers";

    QSettings settings(mDir.filePath("nocache.ini"), QSettings::IniFormat);
    settings.setValue("path", mRoot);
    settings.setValue("cacheTime", 1);
    mController = std::make_unique<StaticFileController>(&settings);
    EXPECT_EQ(get("/app/main.js").body, "changed");
    writeFile(mRoot + "/app/main.js", "changed again");
    QThread::msleep(5);
    EXPECT_EQ(get("/app/main.js").body, "changed again");
}

} // namespace
