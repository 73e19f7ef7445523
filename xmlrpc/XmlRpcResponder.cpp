#include "XmlRpcResponder.h"

XmlRpcResponder::XmlRpcResponder(QObject *parent)
    : QObject(parent)
{ }

XmlRpcResponder::~XmlRpcResponder() = default;

void XmlRpcResponder::refuse(XmlRpcFault code, const QString &message)
{
    if (mFault != XmlRpcFault::None)
        return;
    mFault = code;
    mFaultMessage = message;
}

void XmlRpcResponder::clearFault()
{
    mFault = XmlRpcFault::None;
    mFaultMessage.clear();
}
