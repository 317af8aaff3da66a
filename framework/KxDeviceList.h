#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class KxDeviceListAbstractImpl;

// The known devices and the scan for the views. All KxDeviceList objects
// share one implementation; without one the list is empty and nothing scans.
// User-interface thread only.
class KxDeviceList : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList deviceIDs READ deviceIDs NOTIFY deviceIDsChanged)
    Q_PROPERTY(bool scanning READ scanning NOTIFY scanningChanged)

public:
    explicit KxDeviceList(QObject* parent = nullptr);
    ~KxDeviceList() override;

    QStringList deviceIDs() const;
    bool scanning() const;

    // Scans on the interface map of the network-interface table.
    Q_INVOKABLE bool startScan(const QVariantMap& options = {});
    Q_INVOKABLE void stopScan();

Q_SIGNALS:
    void deviceIDsChanged();
    void scanningChanged();

private:
    std::shared_ptr<KxDeviceListAbstractImpl> m_impl;
};
