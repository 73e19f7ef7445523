#include "BatchbayJobArchive.h"

#include "BatchbayJobFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

// Reads the archive with Python's zipfile (CRC checked by testzip) and prints
// {hex of the name's bytes: hex of the content's SHA-256}.
constexpr char sReader[] = R"(
import hashlib, json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None
    out = {}
    for info in z.infolist():
        raw = info.filename.encode('utf-8' if info.flag_bits & 0x800 else 'cp437')
        out[raw.hex()] = hashlib.sha256(z.read(info)).hexdigest()
    print(json.dumps(out))
)";

std::string hex(const QByteArray &bytes)
{
    return bytes.toHex().toStdString();
}

class BatchbayJobArchiveTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mTemp.isValid());
        const QString job = mTemp.filePath("job");
        ASSERT_TRUE(QDir().mkpath(job + "/sub"));
        put(mTemp.filePath("secret"), "outside");
        QByteArray big(300 * 1024 + 7, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char((i * 7919) >> 3);
        mExpected = {{"a.txt", "first\n"},
                     {"sub/b.bin", big},
                     {"empty", ""},
                     {"caf\xe9.txt", "latin-1 name"},
                     {"link-in", "first\n"}};
        for (const auto &[name, content] : mExpected) {
            if (name != "link-in")
                put(job.toStdString() + "/" + name, content);
        }
        ASSERT_TRUE(QFile::link(mTemp.filePath("secret"), job + "/out"));
        ASSERT_TRUE(QFile::link("a.txt", job + "/link-in"));
        mJobDir = job.toStdString();
    }

    // QTemporaryDir cannot remove a name that is not UTF-8.
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(mTemp.path().toStdString(), ec);
    }

    // By the path's bytes: a name on disk need not be UTF-8.
    static void put(const QString &path, const QByteArray &content)
    {
        put(path.toStdString(), content);
    }
    static void put(const std::string &path, const QByteArray &content)
    {
        std::ofstream file(path, std::ios::binary);
        ASSERT_TRUE(file.good()) << path;
        file.write(content.constData(), content.size());
    }

    // What Python reads from the archive.
    std::map<std::string, std::string> readBack(const QByteArray &archive)
    {
        const QString path = mTemp.filePath("archive.zip");
        put(path, archive);
        QProcess python;
        python.start("python3", {"-c", sReader, path});
        EXPECT_TRUE(python.waitForFinished(30000));
        EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        std::map<std::string, std::string> entries;
        const auto document
            = nlohmann::json::parse(python.readAllStandardOutput().toStdString(), nullptr, false);
        if (document.is_object())
            entries = document.get<std::map<std::string, std::string>>();
        return entries;
    }

    QTemporaryDir mTemp;
    std::string mJobDir;
    std::map<std::string, QByteArray> mExpected;
};

TEST_F(BatchbayJobArchiveTest, StoresOnlyFilesInsideTheJobDirectoryReadableByZipfile)
{
    const std::set<std::string> names {"a.txt", "sub/b.bin", "empty",   "caf\xe9.txt",
                                       "out",   "link-in",   "missing", "../secret"};
    std::map<std::string, std::string> expected;
    for (const auto &[name, content] : mExpected)
        expected[hex(QByteArray::fromStdString(name))]
            = hex(QCryptographicHash::hash(content, QCryptographicHash::Sha256));

    // The format's own limit, and ZIP64 records for every size and offset.
    for (const quint64 zip64From : {quint64(0xffffffffu), quint64(0)}) {
        SCOPED_TRACE(zip64From);
        QByteArray archive;
        const BatchbayJobArchive::Result result = BatchbayJobArchive::write(
            BatchbayJobFiles(mJobDir), names,
            [&archive](const QByteArray &bytes) {
                archive.append(bytes);
                return true;
            },
            zip64From);
        EXPECT_TRUE(result.complete);
        EXPECT_EQ(result.entries, 5);
        EXPECT_EQ(result.skipped, 3); // the link out, the missing file, the name with ".."
        EXPECT_EQ(result.bytes, archive.size());
        EXPECT_EQ(archive.contains(QByteArray("PK\x06\x06", 4)), zip64From == 0);
        EXPECT_EQ(readBack(archive), expected);
    }
}

TEST_F(BatchbayJobArchiveTest, StopsWhenTheSinkRefusesAndAnEmptySetIsAValidArchive)
{
    int pieces = 0;
    const BatchbayJobArchive::Result stopped
        = BatchbayJobArchive::write(BatchbayJobFiles(mJobDir), {"sub/b.bin", "a.txt"},
                                    [&pieces](const QByteArray &) { return ++pieces < 2; });
    EXPECT_FALSE(stopped.complete);
    EXPECT_EQ(pieces, 2);

    QByteArray archive;
    const BatchbayJobArchive::Result empty
        = BatchbayJobArchive::write(BatchbayJobFiles(mJobDir), {}, [&archive](const QByteArray &b) {
              archive.append(b);
              return true;
          });
    EXPECT_TRUE(empty.complete);
    EXPECT_EQ(archive.size(), 22);
    EXPECT_TRUE(readBack(archive).empty());
}

} // namespace
