#include "BatchbayJobArchive.h"

#include "BatchbayJobFiles.h"

#include <QDateTime>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

constexpr quint32 sLocalHeader = 0x04034b50;
constexpr quint32 sDataDescriptor = 0x08074b50;
constexpr quint32 sCentralHeader = 0x02014b50;
constexpr quint32 sEndOfCentral = 0x06054b50;
constexpr quint32 sZip64EndOfCentral = 0x06064b50;
constexpr quint32 sZip64Locator = 0x07064b50;
constexpr quint16 sFlagDescriptor = 0x0008;
constexpr quint16 sFlagUtf8 = 0x0800;
constexpr quint16 sVersion = 20;
constexpr quint16 sVersionZip64 = 45;
constexpr quint16 sMadeByUnix = 3 << 8;
constexpr quint32 sMax32 = 0xffffffffu;
constexpr quint16 sMax16 = 0xffff;

void put16(QByteArray &out, quint16 value)
{
    out.append(char(value & 0xff));
    out.append(char(value >> 8));
}

void put32(QByteArray &out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.append(char((value >> shift) & 0xff));
}

void put64(QByteArray &out, quint64 value)
{
    for (int shift = 0; shift < 64; shift += 8)
        out.append(char((value >> shift) & 0xff));
}

bool isUtf8(const std::string &name)
{
    const QString decoded = QString::fromUtf8(name.data(), qsizetype(name.size()));
    return decoded.toUtf8() == QByteArray::fromStdString(name);
}

// MS-DOS date and time of a file's modification, in local time as archivers expect.
void dosTime(time_t mtime, quint16 &time, quint16 &date)
{
    QDateTime when = QDateTime::fromSecsSinceEpoch(mtime);
    if (when.date().year() < 1980)
        when = QDateTime(QDate(1980, 1, 1), QTime(0, 0));
    time = quint16((when.time().hour() << 11) | (when.time().minute() << 5)
                   | (when.time().second() / 2));
    date = quint16(((when.date().year() - 1980) << 9) | (when.date().month() << 5)
                   | when.date().day());
}

struct Entry
{
    QByteArray name;
    quint16 flags = 0;
    quint16 time = 0;
    quint16 date = 0;
    quint32 crc = 0;
    quint64 size = 0;
    quint64 offset = 0;
    quint32 mode = 0;
    bool zip64 = false;
};

} // namespace

BatchbayJobArchive::Result BatchbayJobArchive::write(const BatchbayJobFiles &files,
                                                     const std::set<std::string> &names,
                                                     const Sink &sink, quint64 zip64From)
{
    Result result;
    const auto send = [&](const QByteArray &bytes) {
        if (!sink(bytes))
            return false;
        result.bytes += bytes.size();
        return true;
    };

    std::vector<Entry> entries;
    QByteArray buffer(sChunk, Qt::Uninitialized);
    for (const std::string &name : names) {
        std::string path;
        if (files.locate(name, path) != BatchbayJobFiles::Result::Ok) {
            ++result.skipped;
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status
        {
        };
        if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            ++result.skipped;
            continue;
        }
        Entry entry;
        entry.name = QByteArray::fromStdString(name);
        entry.flags = sFlagDescriptor | (isUtf8(name) ? sFlagUtf8 : 0);
        entry.offset = quint64(result.bytes);
        entry.mode = quint32(S_IFREG | (status.st_mode & 0777));
        entry.zip64 = quint64(status.st_size) >= zip64From;
        dosTime(status.st_mtime, entry.time, entry.date);

        QByteArray header;
        put32(header, sLocalHeader);
        put16(header, entry.zip64 ? sVersionZip64 : sVersion);
        put16(header, entry.flags);
        put16(header, 0); // stored
        put16(header, entry.time);
        put16(header, entry.date);
        put32(header, 0); // CRC-32 and sizes follow the data
        put32(header, entry.zip64 ? sMax32 : 0);
        put32(header, entry.zip64 ? sMax32 : 0);
        put16(header, quint16(entry.name.size()));
        put16(header, entry.zip64 ? 20 : 0);
        header.append(entry.name);
        if (entry.zip64) {
            // Tells a reader that the data descriptor holds 8-byte sizes.
            put16(header, 0x0001);
            put16(header, 16);
            put64(header, 0);
            put64(header, 0);
        }
        if (!send(header)) {
            ::close(fd);
            return result;
        }

        uLong crc = crc32(0L, Z_NULL, 0);
        quint64 left = quint64(status.st_size);
        bool ok = true;
        while (left > 0) {
            const ssize_t got
                = ::read(fd, buffer.data(), std::size_t(std::min<quint64>(left, quint64(sChunk))));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            crc = crc32(crc, reinterpret_cast<const Bytef *>(buffer.constData()), uInt(got));
            entry.size += quint64(got);
            left -= quint64(got);
            if (!send(QByteArray(buffer.constData(), qsizetype(got)))) {
                ok = false;
                break;
            }
        }
        ::close(fd);
        if (!ok)
            return result;
        entry.crc = quint32(crc);

        QByteArray descriptor;
        put32(descriptor, sDataDescriptor);
        put32(descriptor, entry.crc);
        if (entry.zip64) {
            put64(descriptor, entry.size);
            put64(descriptor, entry.size);
        } else {
            put32(descriptor, quint32(entry.size));
            put32(descriptor, quint32(entry.size));
        }
        if (!send(descriptor))
            return result;
        entries.push_back(std::move(entry));
        ++result.entries;
    }

    const quint64 centralStart = quint64(result.bytes);
    for (const Entry &entry : entries) {
        const bool bigSize = entry.zip64 || entry.size >= zip64From;
        const bool bigOffset = entry.offset >= zip64From;
        QByteArray extra;
        if (bigSize || bigOffset) {
            put16(extra, 0x0001);
            put16(extra, quint16((bigSize ? 16 : 0) + (bigOffset ? 8 : 0)));
            if (bigSize) {
                put64(extra, entry.size);
                put64(extra, entry.size);
            }
            if (bigOffset)
                put64(extra, entry.offset);
        }
        const quint16 needed = entry.zip64 || bigSize || bigOffset ? sVersionZip64 : sVersion;
        QByteArray header;
        put32(header, sCentralHeader);
        put16(header, sMadeByUnix | needed);
        put16(header, needed);
        put16(header, entry.flags);
        put16(header, 0);
        put16(header, entry.time);
        put16(header, entry.date);
        put32(header, entry.crc);
        put32(header, bigSize ? sMax32 : quint32(entry.size));
        put32(header, bigSize ? sMax32 : quint32(entry.size));
        put16(header, quint16(entry.name.size()));
        put16(header, quint16(extra.size()));
        put16(header, 0); // comment
        put16(header, 0); // disk
        put16(header, 0); // internal attributes
        put32(header, entry.mode << 16);
        put32(header, bigOffset ? sMax32 : quint32(entry.offset));
        header.append(entry.name);
        header.append(extra);
        if (!send(header))
            return result;
    }
    const quint64 centralSize = quint64(result.bytes) - centralStart;
    const quint64 count = entries.size();

    QByteArray end;
    const bool zip64End = count >= sMax16 || centralStart >= zip64From || centralSize >= zip64From;
    if (zip64End) {
        const quint64 zip64EndOffset = quint64(result.bytes);
        put32(end, sZip64EndOfCentral);
        put64(end, 44);
        put16(end, sMadeByUnix | sVersionZip64);
        put16(end, sVersionZip64);
        put32(end, 0);
        put32(end, 0);
        put64(end, count);
        put64(end, count);
        put64(end, centralSize);
        put64(end, centralStart);
        put32(end, sZip64Locator);
        put32(end, 0);
        put64(end, zip64EndOffset);
        put32(end, 1);
    }
    put32(end, sEndOfCentral);
    put16(end, 0);
    put16(end, 0);
    put16(end, count >= sMax16 ? sMax16 : quint16(count));
    put16(end, count >= sMax16 ? sMax16 : quint16(count));
    put32(end, zip64End ? sMax32 : quint32(centralSize));
    put32(end, zip64End ? sMax32 : quint32(centralStart));
    put16(end, 0);
    if (!send(end))
        return result;
    result.complete = true;
    return result;
}
