#pragma once

#include "KxDeviceEventID.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class KxDeviceAbstractImpl;

// One device for the views, named by its id. All KxDevice objects with the
// same id share one implementation; without one (empty id) every read gives
// its default and every call false. User-interface thread only.
class KxDevice : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString deviceID READ deviceID WRITE setDeviceID NOTIFY deviceIDChanged)
    Q_PROPERTY(bool available READ isAvailable NOTIFY availableChanged)
    Q_PROPERTY(QVariantMap metaData READ metaData WRITE setMetaData NOTIFY metaDataChanged)
    Q_PROPERTY(QString modelID READ modelID NOTIFY modelIDChanged)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY deviceNameChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(DeviceStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap statusOptions READ statusOptions NOTIFY statusOptionsChanged)

public:
    // The numbers of the record's connection status.
    enum DeviceStatus {
        InvalidDeviceStatus = -1,
        Lost = 0,
        Found = 1,
        Connecting = 2,
        Connected = 3,
        NumberOfDeviceStatus = 4
    };
    Q_ENUM(DeviceStatus)

    explicit KxDevice(QObject* parent = nullptr);
    ~KxDevice() override;

    QString deviceID() const { return m_deviceId; }
    // Attaches to the implementation shared under `id` and announces every
    // property as changed; the same id again does nothing.
    void setDeviceID(const QString& id);

    bool isAvailable() const;
    QVariantMap metaData() const;
    void setMetaData(const QVariantMap& metaData);
    QString modelID() const;
    QString deviceName() const;
    QString version() const;
    DeviceStatus status() const;
    QVariantMap statusOptions() const;

    Q_INVOKABLE bool requestConnect(const QVariantMap& options = {});
    Q_INVOKABLE bool disconnect();
    // RequestLogin with {"password": text} logs in before it returns.
    Q_INVOKABLE bool sendEvent(KxDeviceEventID::ID event, const QVariantMap& options = {});

Q_SIGNALS:
    void deviceIDChanged();
    void availableChanged();
    void metaDataChanged();
    void modelIDChanged();
    void deviceNameChanged();
    void versionChanged();
    void statusChanged();
    void statusOptionsChanged();
    void found();
    void connectSuccessed();
    void connectFailed(QVariantMap reason = {});
    void lost(QVariantMap reason = {});
    void eventReceived(KxDeviceEventID::ID eventID, QVariantMap options = {});

private:
    void detach();

    std::shared_ptr<KxDeviceAbstractImpl> m_impl;
    QString m_deviceId;
};
