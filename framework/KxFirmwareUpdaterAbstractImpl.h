#pragma once

#include "KxFirmwareUpdater.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

// What a KxFirmwareUpdater front forwards to: one device's firmware-update
// service. All instances live on the user-interface thread.
class KxFirmwareUpdaterAbstractImpl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KxFirmwareUpdaterAbstractImpl() override = default;

public Q_SLOTS:
    virtual bool isAvailable() const = 0;
    virtual QVariantMap options() const = 0;
    virtual void setOptions(const QVariantMap& options) = 0;
    virtual bool updateAvailable() const = 0;
    virtual bool updating() const = 0;
    virtual double updateProgress() const = 0;
    virtual double updateSize() const = 0;
    virtual void update() = 0;
    virtual void cancelUpdate() = 0;
    virtual QString updateStatusMessage() const = 0;
    virtual QVariantMap updateVersion() const = 0;

Q_SIGNALS:
    void deviceIDChanged();
    void availableChanged();
    void optionsChanged();
    void updateStatusMessageChanged();
    void updateVersionChanged();
    void updateAvailableChanged();
    void updatingChanged();
    void updateStarted();
    void updateFinished(KxFirmwareUpdater::UpdateResult result);
};
