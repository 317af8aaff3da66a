#pragma once

#include "KxDeviceEventID.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

// What a KxDevice front forwards to: one device's identity, status and login.
// status() is a KxDevice::DeviceStatus number. All instances live on the
// user-interface thread.
class KxDeviceAbstractImpl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KxDeviceAbstractImpl() override = default;

public Q_SLOTS:
    virtual bool isAvailable() const = 0;
    virtual QString deviceName() const = 0;
    virtual QString modelID() const = 0;
    virtual QString version() const = 0;
    virtual QVariantMap metaData() const = 0;
    virtual int status() const = 0;
    virtual QVariantMap statusOptions() const = 0;
    virtual void setMetaData(const QVariantMap& metaData) = 0;
    virtual bool requestConnect(const QVariantMap& options) = 0;
    virtual bool disconnect() = 0;
    virtual bool sendEvent(KxDeviceEventID::ID eventID, const QVariantMap& options) = 0;

Q_SIGNALS:
    void deviceIDChanged();
    void availableChanged();
    void modelIDChanged();
    void deviceNameChanged();
    void versionChanged();
    void metaDataChanged();
    void statusChanged();
    void statusOptionsChanged();
    void found();
    void connectSuccessed();
    void connectFailed(QVariantMap reason);
    void lost(QVariantMap reason);
    void eventReceived(KxDeviceEventID::ID eventID, QVariantMap options);
};
