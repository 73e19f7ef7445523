#pragma once

#include "XmlRpcCodec.h"

#include <QObject>
#include <QString>

// Base of an object whose public slots serve XML-RPC methods and that may refuse a call.
// A slot calls refuse() and returns any value; MaiaXmlRpcServerConnection then answers with
// that fault instead of the slot's result. One responder serves one call at a time (it is
// built per request); not shared between threads.
class XmlRpcResponder : public QObject
{
    Q_OBJECT

public:
    explicit XmlRpcResponder(QObject *parent = nullptr);
    ~XmlRpcResponder() override;

    // Answers the current call with this fault; the first refusal of a call wins.
    void refuse(XmlRpcFault code, const QString &message);

    // Used by the connection around each call.
    void clearFault();
    XmlRpcFault fault() const { return mFault; }
    const QString &faultMessage() const { return mFaultMessage; }

private:
    XmlRpcFault mFault = XmlRpcFault::None;
    QString mFaultMessage;
};
