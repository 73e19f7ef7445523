#pragma once

#include <QByteArray>
#include <QHash>
#include <QReadWriteLock>
#include <QString>

// The process-wide table of XML-RPC methods: each method name (for example
// "sshResourceManager.getJobState") maps to the bare name of the slot that implements it
// (for example "jobState"); the slot is looked up on whatever object serves the request.
//
// Shared between threads: methods are added at start-up on the main thread, lookups come from
// any number of web threads at once. mTableLock (read-write) guards the table, so adding a
// method while requests are served is safe too.
class MaiaXmlRpcServerSecurity
{
public:
    // Created on first use (thread-safe) and kept until process exit.
    static MaiaXmlRpcServerSecurity *instance();

    // Maps methodName to slotName, replacing an earlier mapping of the same name.
    // A null or empty slotName removes the mapping.
    void addMethod(const QString &methodName, const char *slotName);
    // The slot name registered for methodName, or an empty array if there is none.
    QByteArray slotName(const QString &methodName) const;

private:
    MaiaXmlRpcServerSecurity() = default;

    mutable QReadWriteLock mTableLock;
    QHash<QString, QByteArray> mSlotByMethod;
};
