#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantMap>

// What a KxDeviceList front forwards to: the known device ids and the scan.
// All instances live on the user-interface thread.
class KxDeviceListAbstractImpl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KxDeviceListAbstractImpl() override = default;

public Q_SLOTS:
    virtual QStringList deviceIDs() const = 0;
    virtual bool scanning() const = 0;
    virtual bool startScan(const QVariantMap& options) = 0;
    virtual void stopScan() = 0;

Q_SIGNALS:
    void deviceIDsChanged();
    void scanningChanged();
};
