#pragma once

#include "DeviceData.h"
#include "SettingsFields.h"

#include <QHash>
#include <QJsonObject>
#include <QMetaObject>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <list>

class DeviceFacade;
class DeviceNotificationObserver;

// Applies the settings notifications that devices push over their channel:
// checks that a text message is exactly a settings notification, hands each
// known section of its body to that section's settings model and stores the
// values in the record of the device whose channel it came on (by its id).
// Everything runs on the user-interface thread, called directly from the
// session observer's signal; malformed or foreign messages are dropped
// without a word.
class DeviceNotificationSubscriber : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<int32_t(const QString& deviceId, const QJsonObject& body)>;

    // Stores into the process-wide facade, which is reached only when the
    // first value is stored (reaching it starts discovery, which must not
    // happen before the launch guard has let the program run).
    explicit DeviceNotificationSubscriber(QObject* parent = nullptr);
    // Stores into `facade`, which must outlive the subscriber.
    explicit DeviceNotificationSubscriber(DeviceFacade& facade, QObject* parent = nullptr);
    ~DeviceNotificationSubscriber() override;

    // The result of onReceivedTextMessage for a dropped message.
    static constexpr int32_t kDropped = 0;

    // Listens to the process-wide observer's messages, called directly from
    // its signal: 0, or -1 when the observer does not exist yet. Start-up
    // calls it after the observer's initialize.
    int initialize();
    // The same on an observer of the caller's (tests): -1 for none. A second
    // call replaces the earlier connection.
    int initialize(DeviceNotificationObserver* observer);
    // Stops listening; harmless when initialize failed or never ran, and
    // when the observer is gone already.
    void finalize();

    // 0 for a dropped message, else setParameter's result.
    int32_t onReceivedTextMessage(const QString& deviceId, const QString& message);

    // A JSON object with exactly "command" (valid) and "body" (an object).
    bool isValidNotification(const QString& message) const;
    // object["command"] holds exactly "type" = "settings-notification" and
    // "device" = "self", both strings.
    bool isValidCommand(const QJsonObject& object) const;
    // object["body"] is a JSON object.
    bool existBody(const QJsonObject& object) const;

    // Runs the handlers of the body's sections in ascending name order: 0,
    // or the code of the first failing handler (later sections are left).
    // What the sections before a failure hold is stored in one step, so the
    // device's operation is judged on the whole message, not field by field.
    int32_t setParameter(const QString& deviceId, const QString& message);

    // Each parses its section of `body` with the keys that pushes may carry
    // and stores the values in one step: 0, the model's failure code, or
    // 0x80000000 when the store fails (no such device).
    int32_t setDisplayParameter(const QString& deviceId, const QJsonObject& body);
    int32_t setSystemParameter(const QString& deviceId, const QJsonObject& body);
    int32_t setNetworkParameter(const QString& deviceId, const QJsonObject& body);

private:
    template <typename Model>
    int32_t applySection(const QString& deviceId, const QJsonObject& body, const std::list<QString>& keys);
    DeviceFacade& facade();

    DeviceFacade* m_facade = nullptr; // not owned; null: the process-wide one
    QHash<QString, Handler> m_handlers;
    std::list<QString> m_displayKeys;
    std::list<QString> m_systemKeys;
    std::list<QString> m_networkKeys;
    QMetaObject::Connection m_observerConnection;
    // While setParameter walks a message: the values of its sections so far.
    DeviceParameterValues* m_gathered = nullptr;
};
