#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

// What one HTTPS exchange with a device came to, as the transport fills it
// and the access manager's getters read it: a plain record, no reply object.
struct HttpAnswer
{
    enum class End {
        Complete, // the whole answer came (after the whole body went, for a 2xx)
        Failed, // the connection failed before any status (refused, reset, TLS)
        Broken, // the answer broke off, or was no sound HTTP answer
        Stalled, // no byte moved either way for the stall time
        TooLarge, // the head or the body passed its bound: cut off
        Refused, // the trust refused the device's key: nothing of the request went
        Aborted, // ended by its caller (also at its deadline)
    };

    End end = End::Aborted;
    int status = -1; // the final answer's status; -1 when none came
    // The final answer's header fields, as sent, in their order.
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qint64 bytesSent = 0; // of the request's body
    QString error; // what broke, for the log; empty for a complete answer
    int refusal = 0; // Refused: the PeerTrust::Verdict
    QString shownKey; // the digest of the key the device showed, when read

    // The field `name` (any letter case); fields of one name joined with ", ".
    // Empty when absent.
    QByteArray header(const QByteArray& name) const
    {
        QByteArrayList values;
        for (const auto& [field, value] : headers) {
            if (field.compare(name, Qt::CaseInsensitive) == 0)
                values.append(value);
        }
        return values.join(", ");
    }
};
Q_DECLARE_METATYPE(HttpAnswer)
