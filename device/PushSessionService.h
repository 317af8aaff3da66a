#pragma once

#include <QObject>
#include <QString>

// What the device model needs of the push-channel side, which sits above it:
// news of a device's channel opening or closing, and a way to close one. The
// session observer implements it and is handed to the facade at start-up.
class PushSessionService : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // 0, or a negative result code when there is no such session.
    virtual int destroySession(const QString& ipAddress, int port) = 0;

Q_SIGNALS:
    void connected(const QString& ipAddress, int port);
    void disconnected(const QString& ipAddress, int port);
};
