#pragma once

#include <QObject>
#include <QString>

// The push-channel side as the layers below and beside it see it: news of a
// device's channel opening or closing, and a way to open and to close one.
// The session observer implements it; the device model, the batch
// operations and the framework's device objects reach it only through this.
class PushSessionService : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens the channel of a logged-in device, by its id, at the address
    // its record holds now: 0, or a negative result code (a live channel
    // exists, no such device).
    virtual int createSession(const QString& deviceId, int port) = 0;
    // 0, or a negative result code when there is no such session.
    virtual int destroySession(const QString& deviceId, int port) = 0;

Q_SIGNALS:
    void connected(const QString& deviceId, int port);
    void disconnected(const QString& deviceId, int port);
};
