#pragma once

#include "KxDeviceListAbstractImpl.h"

#include <memory>

class DeviceFacade;

// The device list and scan of the device facade. startScan first stops a
// running scan (on another interface that empties the list), then starts on
// the given interface map ("interfaceName", "ipAddress", "macAddress",
// "subnetMask"). stopScan does nothing: the views only ever switch
// interfaces. User-interface thread only.
class KxDeviceListImpl : public KxDeviceListAbstractImpl
{
    Q_OBJECT

public:
    // On the process's facade (Services).
    explicit KxDeviceListImpl(QObject* parent = nullptr);
    // On the caller's facade (tests); it must outlive this object.
    explicit KxDeviceListImpl(DeviceFacade& facade, QObject* parent = nullptr);
    ~KxDeviceListImpl() override;

public Q_SLOTS:
    QStringList deviceIDs() const override;
    bool scanning() const override;
    bool startScan(const QVariantMap& options) override;
    void stopScan() override;

private:
    DeviceFacade& m_facade;
};

// Makes the implementation that all KxDeviceList fronts share: null when it
// cannot be made; never throws.
class KxDeviceListImplFactory
{
public:
    static std::shared_ptr<KxDeviceListAbstractImpl> createKxImpl();
};
