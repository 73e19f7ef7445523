#pragma once

#include <QByteArray>

#include <functional>
#include <set>
#include <string>

class BatchbayJobFiles;

// Writes files of a job directory as one ZIP archive (PKWARE APPNOTE 6.3: stored entries,
// general purpose flag bit 3 with a data descriptor after each entry, ZIP64 extensions for
// an entry or an archive beyond 4 GiB or 65,535 entries) to a sink, piece by piece, without
// a temporary copy: the CRC-32 and sizes of an entry are known only once it has been read,
// so they follow its data and are repeated in the central directory.
//
// Each name is resolved through BatchbayJobFiles::locate, so only regular files inside the
// job directory are read, also through symbolic links; a name that does not resolve is left
// out. A file is read up to the size it had when it was opened: one that grows meanwhile is
// cut there, one that shrinks is stored as it was read.
//
// Stateless between calls; any thread.
class BatchbayJobArchive
{
public:
    // Receives the archive's bytes in order; returns false to stop (client gone).
    using Sink = std::function<bool(const QByteArray &bytes)>;

    struct Result
    {
        bool complete = false; // the whole archive went to the sink
        int entries = 0; // files stored
        int skipped = 0; // names that did not resolve or could not be opened
        qint64 bytes = 0; // archive bytes given to the sink
    };

    // zip64From: sizes and offsets from this value on are written in ZIP64 form (the format's
    // limit; a lower value lets a test check those records without 4 GiB of data).
    static Result write(const BatchbayJobFiles &files, const std::set<std::string> &names,
                        const Sink &sink, quint64 zip64From = 0xffffffffu);

    // The size of the pieces the sink receives for file contents.
    static constexpr qint64 sChunk = 256 * 1024;
};
