#pragma once

#include "KxFirmwareUpdaterAbstractImpl.h"

#include <memory>

// A stand-in for a device's firmware-update service: always available, an
// update always on offer and never running, progress and size 0, and
// update() and cancelUpdate() doing nothing; it never signals. The options,
// status message and version map come from a process-wide record per device
// id, made on first use with empty options, an empty message and sample
// versions of the "Main", "Sub" and "Boot" firmware.
// User-interface thread only.
class KxFirmwareUpdaterImpl : public KxFirmwareUpdaterAbstractImpl
{
    Q_OBJECT

public:
    explicit KxFirmwareUpdaterImpl(const QString& deviceId, QObject* parent = nullptr);
    ~KxFirmwareUpdaterImpl() override;

public Q_SLOTS:
    bool isAvailable() const override;
    QVariantMap options() const override;
    // The options are the device's own; a view cannot change them.
    void setOptions(const QVariantMap& options) override;
    bool updateAvailable() const override;
    bool updating() const override;
    double updateProgress() const override;
    double updateSize() const override;
    void update() override;
    void cancelUpdate() override;
    QString updateStatusMessage() const override;
    QVariantMap updateVersion() const override;

private:
    const QString m_deviceId;
};

// Makes the implementation that the updaters of one device share: null for
// an empty id or when it cannot be made; never throws.
class KxFirmwareUpdaterImplFactory
{
public:
    static std::shared_ptr<KxFirmwareUpdaterAbstractImpl> createKxImpl(const QString& deviceId);
};
