#pragma once

#include "KxDeviceAbstractImpl.h"

#include <memory>

class DeviceFacade;
class DeviceNotificationObserver;
class HttpAccessManager;
enum class DeviceParameter : int;

// One device as the device facade knows it. Every read asks the facade at
// that moment; nothing is cached. Change notices of the device's record
// become the front's property signals, provided the device was registered
// when this object was made (a device registered later gets none).
//
// sendEvent(RequestLogin, {"password"}) logs in with the password's MD5 hex
// code and returns true whatever the outcome: a failure goes to the
// AlertNotifier, a success opens the device's push session. The login
// completes inside the call, waiting in the HTTP layer's nested event loop.
//
// Threads: user-interface thread only.
class KxDeviceImpl : public KxDeviceAbstractImpl
{
    Q_OBJECT

public:
    // On the process-wide facade, HTTP access manager and push-session
    // observer (the observer as it is at the time of a login).
    explicit KxDeviceImpl(const QString& deviceId, QObject* parent = nullptr);
    // On the caller's own (tests); all three must outlive this object.
    KxDeviceImpl(const QString& deviceId, DeviceFacade& facade, HttpAccessManager& httpAccess,
                 DeviceNotificationObserver& observer, QObject* parent = nullptr);
    ~KxDeviceImpl() override;

public Q_SLOTS:
    bool isAvailable() const override;
    QString deviceName() const override;
    QString modelID() const override;
    QString version() const override;
    QVariantMap metaData() const override;
    int status() const override;
    QVariantMap statusOptions() const override;
    void setMetaData(const QVariantMap& metaData) override;
    bool requestConnect(const QVariantMap& options) override;
    bool disconnect() override;
    bool sendEvent(KxDeviceEventID::ID eventID, const QVariantMap& options) override;

    void onDataChanged(const QString& deviceID, DeviceParameter type);

private:
    KxDeviceImpl(const QString& deviceId, DeviceFacade& facade, HttpAccessManager& httpAccess,
                 DeviceNotificationObserver* observer, QObject* parent);

    void requestLogin(const QString& password);
    QVariant read(DeviceParameter type) const;

    const QString m_deviceId;
    DeviceFacade& m_facade;
    HttpAccessManager& m_httpAccess;
    // Null: the process-wide observer, looked up at each login.
    DeviceNotificationObserver* const m_observer;
};

// Makes the implementation that KxDevice fronts of one id share: null for an
// empty id or when it cannot be made; never throws.
class KxDeviceImplFactory
{
public:
    static std::shared_ptr<KxDeviceAbstractImpl> createKxImpl(const QString& deviceId);
};

// The process-wide sharing of device implementations: every KxDevice with the
// same id uses one implementation while any of them holds it.
// User-interface thread only.
class KxDeviceService
{
public:
    KxDeviceService() = delete;
    static std::shared_ptr<KxDeviceAbstractImpl> implementation(const QString& deviceId);
};
