// Decodes untrusted bytes as an XML-RPC methodCall, both from memory and from a device, and
// encodes whatever was decoded again, as a handler's answer would.

#include "xmlrpc/XmlRpcCodec.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray document(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const XmlRpcCall call = XmlRpcCodec::decodeCall(document);

    QBuffer buffer;
    buffer.setData(document);
    buffer.open(QIODevice::ReadOnly);
    const XmlRpcCall fromDevice = XmlRpcCodec::decodeCall(&buffer);
    // Both entry points read the same grammar.
    if (call.fault != fromDevice.fault || call.methodName != fromDevice.methodName
        || call.params.size() != fromDevice.params.size())
        __builtin_trap();

    if (call.ok()) {
        // Every value the decoder produces is one the encoder can write.
        if (XmlRpcCodec::encodeResponse(QVariant(call.params)).isEmpty())
            __builtin_trap();
    } else {
        (void)XmlRpcCodec::encodeFault(call.fault, call.error);
    }
    return 0;
}
