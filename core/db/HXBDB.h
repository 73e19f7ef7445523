#pragma once

#include "HXBSqlDialect.h"

#include <QSqlDatabase>
#include <QString>

#include <cstdint>
#include <mutex>
#include <string>

class HXBQuery;
class QSqlError;

// The value of one connection-pool entry: the connection a thread owns.
struct HXBDBConnection
{
    // Name under which the connection is registered with QSqlDatabase: "treadID_<handle>".
    QString connectionName;
    // Depth of nested transactions opened by the owning thread; 0 = none open.
    qint64 transactionCount = 0;
    // Which thread (and which database setting) opened the connection. Thread handles are
    // reused after a thread ends, so the handle alone cannot tell a stale entry from a live one.
    quint64 threadSerial = 0;
    quint64 settingsGeneration = 0;
    // When the connection was last opened or tried (ms since the epoch): a connection that
    // could not be opened is tried again at most once a second.
    qint64 lastOpenAttemptMs = 0;
};

// The process-wide database manager; all members are static.
//
// Every thread that touches the database gets a connection of its own, created on first
// use and keyed by the thread's pthread_self handle. A connection is only ever used by the
// thread that opened it. All operations act on the calling thread's connection and may be
// called from any thread. The pool is guarded by a recursive mutex of its own; writes are
// serialised by dbMutex (see HXBQuery). Failures are reported by the result (false, an
// invalid database, a failing query), never by an exception.
class HXBDB
{
public:
    // Reads "DB/type", "DB/name", "DB/host", "DB/port", "DB/user" and "DB/password" from the
    // configuration. A relative SQLite file name is made absolute against the executable's
    // directory; a MySQL/MariaDB database name is used as it is.
    // Opens nothing: every thread opens its own connection on first use. Calling it again
    // with changed settings makes every thread reconnect at its next use.
    static void initDb();
    // Points the database at the given kind (0 SQLite, 1 MySQL) and name, as initDb does
    // from the configuration; a relative SQLite name is made absolute the same way. Meant for
    // tests and tools that use their own database.
    static void setDatabase(int type, const std::string &name);
    // The MySQL/MariaDB server and account, as initDb reads them from the configuration.
    static void setServer(const std::string &host, int port, const std::string &user,
                          const std::string &password);
    // The dialect of the configured database.
    static HXBSqlDialect::Kind dialect();

    // Opens (or reopens) the calling thread's connection and gives it a fresh pool entry
    // with transaction count 0. An unknown database kind gives an invalid database.
    static QSqlDatabase connect();
    // Commits an open transaction of the calling thread, closes and unregisters its
    // connection. A thread without a connection changes nothing.
    static void disconnect();
    // The same as disconnect(); called by a thread just before it ends.
    static void threadFinished();

    // The calling thread's connection, created and opened on first use. A connection that
    // is closed is opened again (one to a server that was down at most once a second); the first
    // failure of an outage is logged as critical, the recovery once.
    static QSqlDatabase getDB();
    // After the server dropped db, a connection of the calling thread: closes and opens it
    // again. A transaction that was open on it is gone; the thread's depth is set back to 0
    // and *transactionLost (when given) says whether one was open. False when db is not the
    // thread's connection or does not open. A connection that is not open (its server did not
    // answer) is tried at most once a second, like getDB(); only the drop of an open one is
    // logged.
    static bool reopen(QSqlDatabase &db, bool *transactionLost = nullptr);
    // Whether a MySQL/MariaDB error means that the connection to the server is gone.
    static bool isConnectionLoss(const QSqlError &error);
    // Whether it is gone in a way that certainly kept the statement from the server.
    static bool isUnsentLoss(const QSqlError &error);
    // A query on the calling thread's connection whose writes take dbMutex.
    static HXBQuery getQuery();

    // Nested transactions: only the outermost startTransaction/commit reach the database.
    // An outermost BEGIN that finds the connection dropped reconnects and begins again.
    static bool startTransaction();
    // False (and nothing changes) when no transaction is open.
    static bool commit();
    // Commits what is written so far; an enclosing transaction stays open at the same depth.
    // Without an open transaction there is nothing to commit and the result is false.
    static bool flush();
    // Runs "VACUUM" (MySQL/MariaDB: "OPTIMIZE TABLE" over every table of the database)
    // outside any transaction (an open one is committed and reopened).
    static bool vacuum();
    // SQLite: runs "PRAGMA quick_check;" on a separate, short-lived connection; true only if
    // the database file exists, opens and answers "ok". The thread's own connection and
    // transaction are left alone. MySQL/MariaDB: "CHECK TABLE ... QUICK" over every table of
    // the database on the thread's connection; true only if there are tables and all are OK.
    static bool checkIntegrity();

private:
    static bool checkServerTables();

public:
    static int mType;               // 0 SQLite ("QSQLITE"), 1 MySQL ("QMYSQL")
    static std::string mDbName;     // SQLite: absolute file path; MySQL: database name
    static std::string mDbHostname; // MySQL only
    static int mDbPort;             // MySQL only
    static std::string mDbUser;     // MySQL only
    static std::string mDbPassword; // MySQL only
};

// The calling thread's transaction depth, creating its connection if it has none.
// Only the owning thread may use the reference.
qint64 &transactionCount();

// The process-wide write lock taken by every write of a query from HXBDB::getQuery().
// Recursive; in lock order it comes after a job's lock and after Job::sJobIdMutex.
extern std::recursive_mutex dbMutex;

// Scoped transaction: starts one on construction, commits on destruction (also when the
// scope is left by an exception; there is no rollback).
class HXBAutoTransaction
{
public:
    HXBAutoTransaction();
    ~HXBAutoTransaction();
    HXBAutoTransaction(const HXBAutoTransaction &) = delete;
    HXBAutoTransaction &operator=(const HXBAutoTransaction &) = delete;
};
