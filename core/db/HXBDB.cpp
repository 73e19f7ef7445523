#include "HXBDB.h"

#include "HXBQuery.h"
#include "config/HXBConfig.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QCoreApplication>
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

QString absoluteDbName(const std::string &name)
{
    const QString qname = Q(name);
    if (QFileInfo(qname).isRelative())
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
    }
    db.setDatabaseName(Q(HXBDB::mDbName));
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

void HXBDB::setDatabase(int type, const std::string &name)
{
    std::lock_guard<std::recursive_mutex> lock(mDbMutex);
    mType = type;
    mDbName = S(absoluteDbName(name));
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
    db.open();

    HXBDBConnection &entry = mConnectionPool[handle];
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
    if (it != mConnectionPool.end() && isCurrent(it->second) && !it->second.connectionName.isEmpty())
        return QSqlDatabase::database(it->second.connectionName, true);
    return connect();
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
    qint64 &count = transactionCount();
    if (count++ != 0)
        return true;
    return getDB().transaction();
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
    const bool result = query.write(QStringLiteral("VACUUM"));
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
