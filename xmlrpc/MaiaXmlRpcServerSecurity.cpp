#include "MaiaXmlRpcServerSecurity.h"

MaiaXmlRpcServerSecurity *MaiaXmlRpcServerSecurity::instance()
{
    static MaiaXmlRpcServerSecurity table;
    return &table;
}

void MaiaXmlRpcServerSecurity::addMethod(const QString &methodName, const char *slotName)
{
    const QByteArray slot(slotName);
    QWriteLocker locker(&mTableLock);
    if (slot.isEmpty())
        mSlotByMethod.remove(methodName);
    else
        mSlotByMethod.insert(methodName, slot);
}

QByteArray MaiaXmlRpcServerSecurity::slotName(const QString &methodName) const
{
    QReadLocker locker(&mTableLock);
    return mSlotByMethod.value(methodName);
}
