#include "HXBDB.h"

#include "HXBQuery.h"
#include "config/HXBConfig.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlError>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <pthread.h>
#include <unordered_map>

std::recursive_mutex dbMutex;

int HXBDB::mType = 0;
std::string HXBDB::mDbName;
std::string HXBDB::mDbHostname;
int HXBDB::mDbPort = 3306;
std::string HXBDB::mDbUser;
std::string HXBDB::mDbPassword;

namespace {

using ThreadHandle = quintptr;
static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle));

std::unordered_map<ThreadHandle, HXBDBConnection> mConnectionPool;
std::recursive_mutex mDbMutex;

// Bumped whenever the database settings change, so that threads drop connections
// to the old database at their next use.
std::atomic<quint64> sSettingsGeneration{1};
std::atomic<quint64> sNextThreadSerial{1};
// Set while the MySQL/MariaDB server refuses connections, so that the outage is logged once.
std::atomic<bool> sServerUnreachable{false};

constexpr int sConnectTimeoutS = 5;
constexpr int sReadWriteTimeoutS = 30;
// A thread whose connection could not be opened tries again at most this often.
constexpr qint64 sReopenIntervalMs = 1000;
thread_local const quint64 tThreadSerial = sNextThreadSerial.fetch_add(1);

ThreadHandle currentHandle()
{
    return static_cast<ThreadHandle>(pthread_self());
}

QString connectionNameFor(ThreadHandle handle)
{
    return QStringLiteral("treadID_%1").arg(static_cast<qulonglong>(handle));
}

bool isCurrent(const HXBDBConnection &entry)
{
    return entry.threadSerial == tThreadSerial
           && entry.settingsGeneration == sSettingsGeneration.load();
}

// An entry left behind by an ended thread whose handle the calling thread now has.
// Its connection belongs to that thread, so it is only unregistered, never used.
void dropForeignEntry(ThreadHandle handle)
{
    auto it = mConnectionPool.find(handle);
    if (it == mConnectionPool.end() || it->second.threadSerial == tThreadSerial)
        return;
    const QString name = it->second.connectionName;
    mConnectionPool.erase(it);
    if (!name.isEmpty() && QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
}

// Only an SQLite database is a file; a MySQL/MariaDB database name is used as it is.
QString absoluteDbName(int type, const std::string &name)
{
    const QString qname = Q(name);
    if (type == 0 && QFileInfo(qname).isRelative())
        return QCoreApplication::applicationDirPath() + QStringLiteral("/") + qname;
    return qname;
}

QString driverFor(int type)
{
    switch (type) {
    case 0:
        return QStringLiteral("QSQLITE");
    case 1:
        return QStringLiteral("QMYSQL");
    default:
        return QString();
    }
}

void configureConnection(QSqlDatabase &db)
{
    if (HXBDB::mType == 1) {
        db.setHostName(Q(HXBDB::mDbHostname));
        db.setPort(HXBDB::mDbPort);
        db.setUserName(Q(HXBDB::mDbUser));
        db.setPassword(Q(HXBDB::mDbPassword));
        // A server that does not answer fails the statement instead of holding the thread.
        db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%2;"
                                            "MYSQL_OPT_WRITE_TIMEOUT=%2")
                                 .arg(sConnectTimeoutS)
                                 .arg(sReadWriteTimeoutS));
    }
    db.setDatabaseName(Q(HXBDB::mDbName));
}

std::string describeServer()
{
    return HXBDB::mDbUser + "@" + HXBDB::mDbHostname + ":" + fromNumber(HXBDB::mDbPort) + "/"
           + HXBDB::mDbName;
}

// Opens db and logs when the database server stops or starts answering: one critical line
// when it is first found unreachable, one line when it answers again, nothing in between.
// SQLite files are not a server and are not reported here.
bool openAndReport(QSqlDatabase &db)
{
    const bool open = db.open();
    if (HXBDB::mType != 1)
        return open;
    HXBLogger *log = HXBLogger::instance();
    if (!open) {
        if (!sServerUnreachable.exchange(true))
            log->logNormalCritical("HXBDB", "database server unreachable; statements fail until it answers",
                                   describeServer() + ": " + S(db.lastError().text()));
    } else if (sServerUnreachable.exchange(false)) {
        log->logNormalWarn("HXBDB", "database server reachable again", describeServer());
    }
    return open;
}

// The tables of the connection's database, each quoted as a name; empty when none or on failure.
QStringList tablesOf(QSqlDatabase &db)
{
    QStringList tables;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SHOW TABLES")))
        return tables;
    while (query.next())
        tables << QLatin1Char('`') + query.value(0).toString().replace(QLatin1Char('`'), QStringLiteral("``"))
                      + QLatin1Char('`');
    return tables;
}

} // namespace

void HXBDB::initDb()
{
    HXBConfig *config = HXBConfig::instance();
    std::string host = "localhost";
    int port = 3306;
    std::string user;
    std::string password;
    if (QSettings *settings = config->getSettings()) {
        host = S(HXBConfig::textValue(*settings, QStringLiteral("DB/host"),
                                      QStringLiteral("localhost")));
        bool ok = false;
        const int configuredPort = settings->value(QStringLiteral("DB/port"), 3306).toInt(&ok);
        port = ok && configuredPort > 0 && configuredPort < 65536 ? configuredPort : 3306;
        user = S(HXBConfig::textValue(*settings, QStringLiteral("DB/user")));
        password = S(HXBConfig::textValue(*settings, QStringLiteral("DB/password")));
    }
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    mDbHostname = host;
    mDbPort = port;
    mDbUser = user;
    mDbPassword = password;
    setDatabase(config->getDBType(), config->getDBname());
}

void HXBDB::setServer(const std::string &host, int port, const std::string &user,
                      const std::string &password)
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    mDbHostname = host;
    mDbPort = port;
    mDbUser = user;
    mDbPassword = password;
    sSettingsGeneration.fetch_add(1);
}

HXBSqlDialect::Kind HXBDB::dialect()
{
    return mType == 1 ? HXBSqlDialect::Kind::MariaDB : HXBSqlDialect::Kind::SQLite;
}

void HXBDB::setDatabase(int type, const std::string &name)
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    mType = type;
    mDbName = S(absoluteDbName(type, name));
    sSettingsGeneration.fetch_add(1);
}

QSqlDatabase HXBDB::connect()
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    const ThreadHandle handle = currentHandle();
    const QString name = connectionNameFor(handle);
    HXBLogger::instance()->logNormalInfo("connect", "connect to database", S(name));

    dropForeignEntry(handle);
    if (mConnectionPool.count(handle))
        disconnect();
    else if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);

    const QString driver = driverFor(mType);
    if (driver.isEmpty())
        return QSqlDatabase();

    QSqlDatabase db = QSqlDatabase::addDatabase(driver, name);
    configureConnection(db);
    openAndReport(db);

    HXBDBConnection &entry = mConnectionPool[handle];
    entry.lastOpenAttemptMs = QDateTime::currentMSecsSinceEpoch();
    entry.connectionName = name;
    entry.transactionCount = 0;
    entry.threadSerial = tThreadSerial;
    entry.settingsGeneration = sSettingsGeneration.load();
    return db;
}

void HXBDB::disconnect()
{
    HXBLogger::instance()->logNormalInfo("disconnect", "disconnect database", "");
    QString name;
    {
        std::lock_guard<std::recursive_mutex> lock(mDbMutex);
        const ThreadHandle handle = currentHandle();
        dropForeignEntry(handle);
        auto it = mConnectionPool.find(handle);
        if (it != mConnectionPool.end()) {
            name = it->second.connectionName;
            if (!name.isEmpty()) {
                QSqlDatabase db = QSqlDatabase::database(name, false);
                if (db.isValid()) {
                    if (it->second.transactionCount != 0 && db.isOpen())
                        db.commit();
                    db.close();
                }
            }
            mConnectionPool.erase(it);
        }
    }
    // removeDatabase wants no QSqlDatabase copy of the connection alive.
    if (!name.isEmpty() && QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
}

void HXBDB::threadFinished()
{
    disconnect();
}

QSqlDatabase HXBDB::getDB()
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    auto it = mConnectionPool.find(currentHandle());
    if (it == mConnectionPool.end() || !isCurrent(it->second) || it->second.connectionName.isEmpty())
        return connect();
    QSqlDatabase db = QSqlDatabase::database(it->second.connectionName, false);
    if (!db.isOpen()) {
        // A database server that is down is asked again once a second, not at every statement.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (mType != 1 || now - it->second.lastOpenAttemptMs >= sReopenIntervalMs
            || now < it->second.lastOpenAttemptMs) {
            it->second.lastOpenAttemptMs = now;
            it->second.transactionCount = 0;
            openAndReport(db);
        }
    }
    return db;
}

bool HXBDB::reopen(QSqlDatabase &db, bool *transactionLost)
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    auto it = mConnectionPool.find(currentHandle());
    if (it == mConnectionPool.end() || it->second.connectionName != db.connectionName()
        || it->second.threadSerial != tThreadSerial)
        return false;
    if (transactionLost)
        *transactionLost = it->second.transactionCount != 0;
    it->second.transactionCount = 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (db.isOpen()) {
        HXBLogger::instance()->logNormalWarn("HXBDB", "database connection lost; reconnecting",
                                             S(db.lastError().text()));
    } else if (mType == 1 && now - it->second.lastOpenAttemptMs < sReopenIntervalMs
               && now >= it->second.lastOpenAttemptMs) {
        // Not open since the server stopped answering: asked again at most once a second, as
        // getDB() does, and the outage is already logged.
        return false;
    }
    it->second.lastOpenAttemptMs = now;
    db.close();
    return openAndReport(db);
}

bool HXBDB::isConnectionLoss(const QSqlError &error)
{
    // Client errors: 2002/2003 cannot connect, 2006 server gone (nothing was sent),
    // 2013/2055 lost during the statement. Server errors: 1053 shutdown in progress,
    // 1927 connection killed, 4031 disconnected for inactivity.
    static const QStringList codes{QStringLiteral("2002"), QStringLiteral("2003"), QStringLiteral("2006"),
                                   QStringLiteral("2013"), QStringLiteral("2055"), QStringLiteral("1053"),
                                   QStringLiteral("1927"), QStringLiteral("4031")};
    return codes.contains(error.nativeErrorCode());
}

bool HXBDB::isUnsentLoss(const QSqlError &error)
{
    return error.nativeErrorCode() == QLatin1String("2006")
           || error.nativeErrorCode() == QLatin1String("2002")
           || error.nativeErrorCode() == QLatin1String("2003");
}

HXBQuery HXBDB::getQuery()
{
    return HXBQuery(getDB(), &dbMutex);
}

qint64 &transactionCount()
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    const ThreadHandle handle = currentHandle();
    auto it = mConnectionPool.find(handle);
    if (it == mConnectionPool.end() || !isCurrent(it->second)) {
        HXBDB::connect();
        it = mConnectionPool.find(handle);
        if (it == mConnectionPool.end()) {
            // No usable driver: keep a nameless entry so the count still has a home.
            HXBDBConnection &entry = mConnectionPool[handle];
            entry.threadSerial = tThreadSerial;
            entry.settingsGeneration = sSettingsGeneration.load();
            return entry.transactionCount;
        }
    }
    return it->second.transactionCount;
}

bool HXBDB::startTransaction()
{
    // getDB() may open the connection again, which sets the depth back to 0 (and may replace
    // the pool entry): the depth is taken after it, or the BEGIN would be sent with the depth
    // left at 0 and the transaction never committed.
    QSqlDatabase db = getDB();
    qint64 &count = transactionCount();
    if (count++ != 0)
        return true;
    if (db.transaction())
        return true;
    // Nothing is lost by beginning again on a fresh connection.
    if (mType == 1 && isConnectionLoss(db.lastError()) && reopen(db)) {
        transactionCount() = 1;
        return db.transaction();
    }
    return false;
}

bool HXBDB::commit()
{
    qint64 &count = transactionCount();
    if (count == 0)
        return false;
    if (count-- != 1)
        return true;
    return getDB().commit();
}

// getDB() may replace the calling thread's pool entry (a nameless one when no driver is
// usable), so the transaction depth is read only after it.
bool HXBDB::flush()
{
    QSqlDatabase db = getDB();
    const bool open = transactionCount() != 0;
    const bool result = db.commit();
    if (open)
        db.transaction();
    return result;
}

bool HXBDB::vacuum()
{
    QSqlDatabase db = getDB();
    const bool wasOpen = transactionCount() != 0;
    if (wasOpen)
        db.commit();
    HXBQuery query(db, &dbMutex);
    bool result = false;
    if (mType == 1) {
        const QStringList tables = tablesOf(db);
        result = !tables.isEmpty()
                 && query.write(HXBSqlDialect::translate(HXBSqlDialect::Kind::MariaDB, QStringLiteral("VACUUM"))
                                    .arg(tables.join(QStringLiteral(", "))));
    } else {
        result = query.write(QStringLiteral("VACUUM"));
    }
    if (wasOpen)
        db.transaction();
    return result;
}

bool HXBDB::checkIntegrity()
{
    QString path;
    int type = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(mDbMutex);
        path = Q(mDbName);
        type = mType;
    }
    if (type == 1)
        return checkServerTables();
    if (type != 0 || path.isEmpty() || !QFile::exists(path))
        return false;

    const QString name = connectionNameFor(currentHandle()) + QStringLiteral("_check");
    bool intact = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("PRAGMA quick_check;")) && query.next())
                intact = query.value(0).toString() == QLatin1String("ok");
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return intact;
}

bool HXBDB::checkServerTables()
{
    // CHECK TABLE commits an open transaction, so it runs on a connection of its own.
    const QString name = connectionNameFor(currentHandle()) + QStringLiteral("_check");
    bool intact = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        {
            std::lock_guard<std::recursive_mutex> lock(mDbMutex);
            configureConnection(db);
        }
        if (db.open()) {
            const QStringList tables = tablesOf(db);
            // One row per table and message; a damaged table has an "error" row or a status
            // other than "OK".
            QSqlQuery query(db);
            intact = !tables.isEmpty()
                     && query.exec(QStringLiteral("CHECK TABLE %1 QUICK").arg(tables.join(QStringLiteral(", "))));
            while (intact && query.next()) {
                const QString type = query.value(2).toString();
                if (type == QLatin1String("error")
                    || (type == QLatin1String("status") && query.value(3).toString() != QLatin1String("OK")))
                    intact = false;
            }
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return intact;
}

HXBAutoTransaction::HXBAutoTransaction()
{
    HXBDB::startTransaction();
}

HXBAutoTransaction::~HXBAutoTransaction()
{
    try {
        HXBDB::commit();
    } catch (...) {
    }
}
