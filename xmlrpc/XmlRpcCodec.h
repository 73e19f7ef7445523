#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>

class QIODevice;

// Fault codes of the XML-RPC interoperability convention ("specification for fault code
// interoperability"), shared by most XML-RPC servers and clients.
enum class XmlRpcFault {
    None = 0,
    ParseError = -32700, // not well-formed XML, a DTD, or a truncated document
    InvalidRequest = -32600, // well-formed XML that is not a valid methodCall
    MethodNotFound = -32601, // method not registered, or the responder has no such slot
    InvalidParams = -32602, // no slot of that name takes that many parameters
    InternalError = -32603, // the call could not be carried out or its result not encoded
    ApplicationError = -32500, // the method refused the call (for example: not the caller's job)
};

// A decoded methodCall, or the fault to answer with.
struct XmlRpcCall
{
    QString methodName;
    QVariantList params;
    XmlRpcFault fault = XmlRpcFault::None;
    QString error; // what was wrong, for the fault string; empty when ok()
    bool ok() const { return fault == XmlRpcFault::None; }
};

// Codec for the XML-RPC wire format as defined by the XML-RPC specification (methodCall,
// methodResponse, fault; the value types int/i4, boolean, string, double, dateTime.iso8601,
// base64, struct and array) plus the widely supported <nil/> extension. It works on bytes,
// not sockets; it holds no state and may be used from any thread.
//
// Decoded values are QVariants: int, bool, QString (an untyped <value> is a string, white space
// kept), double, QDateTime, QByteArray (base64), QVariantMap (struct; a repeated member name
// keeps the last value), QVariantList (array) and an invalid QVariant (nil). dateTime.iso8601
// accepts "19980717T14:08:55" and "1998-07-17T14:08:55", optionally followed by "Z" (UTC) or
// an offset "+hh:mm"/"+hhmm"; without either it is local time.
//
// Input is untrusted: any DTD is refused (so no entity can be declared or expanded), so is any
// attribute (XML-RPC has none; both are found in one linear pass before parsing), arrays and
// structs nest at most maxDepth levels, and nothing is held beyond the decoded values themselves.
class XmlRpcCodec
{
public:
    static constexpr int maxDepth = 64;

    // Decodes a whole methodCall document. Never throws; a bad document gives a call whose
    // fault is ParseError (not well-formed, DTD, truncated) or InvalidRequest (well-formed but
    // not XML-RPC: missing methodName, unknown value type, int out of 32-bit range, too deep).
    static XmlRpcCall decodeCall(const QByteArray &document);
    // Same, reading the device from its current position to its end.
    static XmlRpcCall decodeCall(QIODevice *device);

    // A methodResponse carrying one value. Encoding: struct for QVariantMap/QVariantHash
    // (keys in the map's order), array for QVariantList/QStringList and other sequences,
    // int for integers within 32 bits and double for wider ones (exact up to 2^53), boolean,
    // string, double, dateTime.iso8601 (the value's own wall-clock time, no zone suffix, as
    // most clients expect), base64 for QByteArray and nil for an invalid QVariant. Characters
    // XML 1.0 does not allow (control characters, lone surrogates, U+FFFE, U+FFFF) are dropped
    // from strings; CR is written as a character reference so that it survives parsing.
    // Returns an empty array when a value (at any depth) has a type that cannot be encoded.
    static QByteArray encodeResponse(const QVariant &value);
    // A methodResponse carrying a fault with faultCode and faultString.
    static QByteArray encodeFault(XmlRpcFault code, const QString &message);
};
