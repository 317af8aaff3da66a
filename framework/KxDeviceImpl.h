#pragma once

#include "KxDeviceAbstractImpl.h"

#include <QPointer>

#include <memory>

class DeviceFacade;
class PushSessionService;
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
    // On the process's services (Services).
    explicit KxDeviceImpl(const QString& deviceId, QObject* parent = nullptr);
    // On the caller's; the facade and the manager must outlive this object,
    // the push sessions may go first (or be null: no channel is opened).
    KxDeviceImpl(const QString& deviceId, DeviceFacade& facade, HttpAccessManager& httpAccess,
                 PushSessionService* pushSessions, QObject* parent = nullptr);
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
    void requestLogin(const QString& password);
    QVariant read(DeviceParameter type) const;

    const QString m_deviceId;
    DeviceFacade& m_facade;
    HttpAccessManager& m_httpAccess;
    QPointer<PushSessionService> m_pushSessions;
};

// Makes the implementation that KxDevice fronts of one id share: null for an
// empty id or when it cannot be made; never throws.
class KxDeviceImplFactory
{
public:
    static std::shared_ptr<KxDeviceAbstractImpl> createKxImpl(const QString& deviceId);
};
