#include "MaiaXmlRpcServerConnection.h"

#include "MaiaXmlRpcServerSecurity.h"
#include "XmlRpcCodec.h"
#include "XmlRpcResponder.h"
#include "httpserver/HttpRequest.h"
#include "httpserver/HttpResponse.h"

#include <QHash>
#include <QMetaMethod>
#include <QMetaObject>
#include <QObject>
#include <QReadWriteLock>

#include <array>
#include <exception>

namespace {

// QMetaMethod::invoke takes at most this many arguments.
constexpr qsizetype maxParams = 10;

// Slot lookups by (class, slot name, parameter count), shared by all connection threads;
// mIndexLock guards the index. Keys come from registered names and at most maxParams + 1
// counts per class, so the index stays small.
class SlotIndex
{
public:
    // Sentinels besides a method index.
    static constexpr int noSuchSlot = -1;
    static constexpr int wrongParamCount = -2;

    static SlotIndex &instance()
    {
        static SlotIndex index;
        return index;
    }

    int find(const QMetaObject *meta, const QByteArray &slotName, qsizetype paramCount)
    {
        const Key key {meta, slotName, paramCount};
        {
            QReadLocker locker(&mIndexLock);
            const auto it = mIndex.constFind(key);
            if (it != mIndex.cend())
                return *it;
        }
        const int found = search(meta, slotName, paramCount);
        QWriteLocker locker(&mIndexLock);
        mIndex.insert(key, found);
        return found;
    }

private:
    struct Key
    {
        const QMetaObject *meta;
        QByteArray name;
        qsizetype paramCount;
        bool operator==(const Key &other) const = default;
    };
    friend size_t qHash(const Key &key, size_t seed)
    {
        return qHashMulti(seed, key.meta, key.name, key.paramCount);
    }

    // Public slots only; the most derived class's slot wins.
    static int search(const QMetaObject *meta, const QByteArray &slotName, qsizetype paramCount)
    {
        int result = noSuchSlot;
        for (int i = meta->methodCount() - 1; i >= 0; --i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() != QMetaMethod::Slot || method.access() != QMetaMethod::Public
                || method.name() != slotName)
                continue;
            if (method.parameterCount() == paramCount)
                return i;
            result = wrongParamCount;
        }
        return result;
    }

    QReadWriteLock mIndexLock;
    QHash<Key, int> mIndex;
};

QByteArray fault(XmlRpcFault code, const QString &message)
{
    return XmlRpcCodec::encodeFault(code, message);
}

// The decoded value in the declared type; a default-constructed one when it does not convert.
QVariant converted(const QVariant &value, QMetaType type)
{
    if (value.metaType() == type)
        return value;
    QVariant result = value;
    if (!result.convert(type))
        result = QVariant(type);
    return result;
}

QByteArray invoke(QObject *responder, const QMetaMethod &method, const QVariantList &params)
{
    const QMetaType variantType = QMetaType::fromType<QVariant>();
    std::array<QVariant, maxParams> values;
    std::array<QGenericArgument, maxParams> arguments;
    for (qsizetype i = 0; i < params.size(); ++i) {
        const QMetaType type = method.parameterMetaType(int(i));
        if (type == variantType) {
            values[i] = params.at(i);
            arguments[i] = QGenericArgument("QVariant", &values[i]);
            continue;
        }
        if (!type.isValid())
            return fault(
                XmlRpcFault::InternalError,
                QStringLiteral("parameter %1 of the slot has an unregistered type").arg(i + 1));
        values[i] = converted(params.at(i), type);
        arguments[i] = QGenericArgument(type.name(), values[i].constData());
    }

    const QMetaType returnType = method.returnMetaType();
    QVariant result;
    QGenericReturnArgument returnArgument;
    if (returnType == variantType) {
        returnArgument = QGenericReturnArgument("QVariant", &result);
    } else if (returnType.id() != QMetaType::Void) {
        if (!returnType.isValid())
            return fault(XmlRpcFault::InternalError,
                         QStringLiteral("the slot's return type is not registered"));
        result = QVariant(returnType);
        returnArgument = QGenericReturnArgument(method.typeName(), result.data());
    }

    auto *refusing = dynamic_cast<XmlRpcResponder *>(responder);
    if (refusing)
        refusing->clearFault();
    bool invoked = false;
    try {
        invoked
            = method.invoke(responder, Qt::DirectConnection, returnArgument, arguments[0],
                            arguments[1], arguments[2], arguments[3], arguments[4], arguments[5],
                            arguments[6], arguments[7], arguments[8], arguments[9]);
    } catch (const std::exception &e) {
        return fault(XmlRpcFault::InternalError,
                     QStringLiteral("the method failed: %1").arg(QString::fromUtf8(e.what())));
    } catch (...) {
        return fault(XmlRpcFault::InternalError, QStringLiteral("the method failed"));
    }
    if (!invoked)
        return fault(XmlRpcFault::InternalError, QStringLiteral("the method could not be invoked"));
    if (refusing && refusing->fault() != XmlRpcFault::None)
        return fault(refusing->fault(), refusing->faultMessage());

    QByteArray body = XmlRpcCodec::encodeResponse(result);
    if (body.isEmpty())
        return fault(XmlRpcFault::InternalError,
                     QStringLiteral("the result of type %1 cannot be encoded")
                         .arg(QString::fromLatin1(method.typeName())));
    return body;
}

QByteArray answer(const XmlRpcCall &call, QObject *responder)
{
    if (!call.ok())
        return fault(call.fault, call.error);
    const QString quotedName = QLatin1Char('"') + call.methodName.left(64) + QLatin1Char('"');
    const QByteArray slotName = MaiaXmlRpcServerSecurity::instance()->slotName(call.methodName);
    if (slotName.isEmpty())
        return fault(XmlRpcFault::MethodNotFound,
                     QStringLiteral("method %1 is not registered").arg(quotedName));
    if (!responder)
        return fault(XmlRpcFault::InternalError, QStringLiteral("no object serves this request"));
    if (call.params.size() > maxParams)
        return fault(XmlRpcFault::InvalidParams,
                     QStringLiteral("method %1 takes no %2 parameters")
                         .arg(quotedName)
                         .arg(call.params.size()));

    const QMetaObject *meta = responder->metaObject();
    const int index = SlotIndex::instance().find(meta, slotName, call.params.size());
    if (index == SlotIndex::noSuchSlot)
        return fault(XmlRpcFault::MethodNotFound,
                     QStringLiteral("method %1 is not available here").arg(quotedName));
    if (index == SlotIndex::wrongParamCount)
        return fault(XmlRpcFault::InvalidParams,
                     QStringLiteral("method %1 takes no %2 parameters")
                         .arg(quotedName)
                         .arg(call.params.size()));
    return invoke(responder, meta->method(index), call.params);
}

} // namespace

void MaiaXmlRpcServerConnection::processRequest(HttpRequest &request, HttpResponse &response,
                                                QObject *responder)
{
    // An in-memory body is shared, not copied; a spooled one is streamed from its file.
    const XmlRpcCall call = request.isBodySpooled()
        ? XmlRpcCodec::decodeCall(request.getBodyDevice())
        : XmlRpcCodec::decodeCall(request.getBody());
    const QByteArray body = answer(call, responder);
    response.setStatus(200);
    response.setHeader("Content-Type", "text/xml");
    response.setHeader("Content-Length", body.size());
    response.write(body, true);
}
