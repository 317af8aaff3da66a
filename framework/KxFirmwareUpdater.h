#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class KxFirmwareUpdaterAbstractImpl;

// A device's own firmware-update service for the views, named by device id.
// All updaters of one id share one implementation; without one (empty id)
// `available`, `updateAvailable` and `updating` are false, `updateProgress`
// and `updateSize` -1, the rest empty, and update() does nothing.
// User-interface thread only.
class KxFirmwareUpdater : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString deviceID READ deviceID WRITE setDeviceID NOTIFY deviceIDChanged)
    Q_PROPERTY(bool available READ isAvailable NOTIFY availableChanged)
    Q_PROPERTY(QVariantMap options READ options WRITE setOptions NOTIFY optionsChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(bool updating READ updating NOTIFY updatingChanged)
    Q_PROPERTY(double updateProgress READ updateProgress CONSTANT)
    Q_PROPERTY(double updateSize READ updateSize CONSTANT)
    Q_PROPERTY(QString updateStatusMessage READ updateStatusMessage NOTIFY updateStatusMessageChanged)
    Q_PROPERTY(QVariantMap updateVersion READ updateVersion NOTIFY updateVersionChanged)

public:
    enum UpdateResult : int {
        InvalidUpdateResult = -1,
        UpdateSuccess = 0,
        UpdateFail = 1,
        UpdateUnavailable = 2,
        NumberOfUpdateResults = 3
    };
    Q_ENUM(UpdateResult)

    explicit KxFirmwareUpdater(QObject* parent = nullptr);
    ~KxFirmwareUpdater() override;

    QString deviceID() const { return m_deviceId; }
    // Attaches to the implementation shared under `deviceId` and announces
    // every notifying property as changed; the same id again does nothing.
    void setDeviceID(const QString& deviceId);

    bool isAvailable() const;
    QVariantMap options() const;
    void setOptions(const QVariantMap& options);
    bool updateAvailable() const;
    bool updating() const;
    double updateProgress() const;
    double updateSize() const;
    QString updateStatusMessage() const;
    QVariantMap updateVersion() const;

    Q_INVOKABLE void update();
    Q_INVOKABLE void cancelUpdate();

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

private:
    std::shared_ptr<KxFirmwareUpdaterAbstractImpl> m_impl;
    QString m_deviceId;
};
