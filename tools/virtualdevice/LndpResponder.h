#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>

class QUdpSocket;
class VirtualDevice;

// Answers discovery announcements for every device of the process.
//
// Each device has a socket bound to its own address and the discovery port:
// it receives announcements sent to that address and sends the device's
// answers, so that they leave from the device's own address. Broadcasts to the
// subnet only reach a socket bound to the wildcard address, so one more socket
// listens there and answers through the device sockets of every device whose
// subnet holds the announcer, unless the device is deaf to broadcasts.
class LndpResponder : public QObject
{
    Q_OBJECT

public:
    explicit LndpResponder(QObject* parent = nullptr);

    // port 0 lets the system choose one port for all devices.
    bool start(const QList<VirtualDevice*>& devices, quint16 port, QString& error);
    quint16 port() const { return m_port; }

Q_SIGNALS:
    void log(const QString& line);

private:
    void readDevice(QUdpSocket* socket, VirtualDevice* device);
    void readWildcard();
    // addressed: sent to the device's own address rather than to a broadcast one.
    bool handle(const QByteArray& bytes, const QHostAddress& sender, quint16 senderPort, VirtualDevice* device,
                bool addressed);
    void answer(VirtualDevice* device, const QHostAddress& to, quint16 port);

    struct Entry
    {
        QPointer<VirtualDevice> device;
        QUdpSocket* socket = nullptr; // child of this
    };

    QList<Entry> m_entries;
    QUdpSocket* m_wildcard = nullptr;
    quint16 m_port = 0;
};
