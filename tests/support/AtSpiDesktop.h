#pragma once

// The AT-SPI desktop of a private session bus (PrivateSession::Bus) as an
// assistive tool sees it: the registry's list of the events tools listen
// for, the applications on the desktop and the state of their windows.
// Header-only; the including program links Qt6::DBus. Every call is bounded
// by kCallMs, so a starved or stopped peer makes a check false, never a hang.

#include "PrivateSessionBus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QUuid>

namespace PrivateSession {

class AtSpiDesktop
{
public:
    static constexpr int kCallMs = 5000;

    explicit AtSpiDesktop(const Bus& bus)
        : m_name(QStringLiteral("atspi-desktop-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
        , m_session(QDBusConnection::connectToBus(bus.address(), m_name + QStringLiteral("-session")))
        , m_atspi(QDBusConnection(m_name))
    {
    }

    ~AtSpiDesktop()
    {
        QDBusConnection::disconnectFromBus(m_name + QStringLiteral("-session"));
        QDBusConnection::disconnectFromBus(m_name);
    }

    AtSpiDesktop(const AtSpiDesktop&) = delete;
    AtSpiDesktop& operator=(const AtSpiDesktop&) = delete;

    // The accessibility bus, whose address its launcher hands out on the
    // session bus (it starts the launcher when none runs yet).
    bool connect()
    {
        if (m_atspi.isConnected())
            return true;
        const QDBusMessage reply = m_session.call(
            QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                           QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
            QDBus::Block, kCallMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return false;
        m_atspi = QDBusConnection::connectToBus(reply.arguments().constFirst().toString(), m_name);
        return m_atspi.isConnected();
    }

    // The events some tool has asked the registry for, as the registry
    // names them ("Window:Activate:", "Focus::", ...): what a program
    // starting now will send.
    QStringList listenedEvents() const
    {
        QStringList events;
        const QDBusMessage reply
            = call(QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/registry"),
                   QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("GetRegisteredEvents"));
        if (reply.arguments().isEmpty())
            return events;
        const QDBusArgument listeners = reply.arguments().constFirst().value<QDBusArgument>();
        listeners.beginArray();
        while (!listeners.atEnd()) {
            QString listener;
            QString event;
            listeners.beginStructure();
            listeners >> listener >> event;
            listeners.endStructure();
            events << event;
        }
        listeners.endArray();
        return events;
    }

    // The bus name of the application of this name on the desktop; empty
    // while it has not registered there.
    QString application(const QString& name) const
    {
        for (const Object& app : children({QStringLiteral("org.a11y.atspi.Registry"), rootPath()})) {
            const QDBusMessage reply
                = call(app.service, app.path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                       {QStringLiteral("org.a11y.atspi.Accessible"), QStringLiteral("Name")});
            if (!reply.arguments().isEmpty()
                && reply.arguments().constFirst().value<QDBusVariant>().variant().toString() == name)
                return app.service;
        }
        return {};
    }

    // Whether the application's first window is the active one, as the
    // program itself tells assistive tools.
    bool windowActive(const QString& service) const
    {
        const QList<Object> windows = children({service, rootPath()});
        if (windows.isEmpty())
            return false;
        const QDBusMessage reply = call(windows.constFirst().service, windows.constFirst().path,
                                        QStringLiteral("org.a11y.atspi.Accessible"), QStringLiteral("GetState"));
        if (reply.arguments().isEmpty())
            return false;
        const QList<uint> words = qdbus_cast<QList<uint>>(reply.arguments().constFirst());
        const uint kActive = 1u << 1; // ATSPI_STATE_ACTIVE
        return !words.isEmpty() && (words.constFirst() & kActive) != 0;
    }

private:
    struct Object
    {
        QString service;
        QString path;
    };

    static QString rootPath() { return QStringLiteral("/org/a11y/atspi/accessible/root"); }

    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {}) const
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        const QDBusMessage reply = m_atspi.call(message, QDBus::Block, kCallMs);
        return reply.type() == QDBusMessage::ReplyMessage ? reply : QDBusMessage();
    }

    QList<Object> children(const Object& parent) const
    {
        QList<Object> found;
        const QDBusMessage reply = call(parent.service, parent.path, QStringLiteral("org.a11y.atspi.Accessible"),
                                        QStringLiteral("GetChildren"));
        if (reply.arguments().isEmpty())
            return found;
        const QDBusArgument list = reply.arguments().constFirst().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            Object child;
            QDBusObjectPath path;
            list.beginStructure();
            list >> child.service >> path;
            list.endStructure();
            child.path = path.path();
            found << child;
        }
        list.endArray();
        return found;
    }

    QString m_name;
    QDBusConnection m_session;
    QDBusConnection m_atspi;
};

} // namespace PrivateSession
