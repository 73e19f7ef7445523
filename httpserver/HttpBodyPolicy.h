#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QtGlobal>

// What a request may send as its body, decided from its header before any byte of the body
// is read (and before "100 Continue" is sent).
struct HttpBodyPolicy
{
    // Largest body accepted, in bytes; a larger one is answered 413 at once. Negative: the
    // listener's limits.
    qint64 maxBodySize = -1;
    // Non-zero: the request is answered with this status at once, its body unread, and the
    // connection is closed.
    int refuseStatus = 0;
    QByteArray refuseReason;
    QByteArray refuseBody;
    // Header fields of the refusal ("Retry-After", "WWW-Authenticate", ...).
    QList<QPair<QByteArray, QByteArray>> refuseHeaders;

    static HttpBodyPolicy limit(qint64 maxBodySize)
    {
        HttpBodyPolicy policy;
        policy.maxBodySize = maxBodySize;
        return policy;
    }
};
