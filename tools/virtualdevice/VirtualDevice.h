#pragma once

#include "DeviceConfig.h"
#include "PaddedJson.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>

class HttpsServer;
class PushHub;

// Faults that the control channel injects into one device while it runs.
struct DeviceFaults
{
    enum class Connect { Normal, Refuse, Drop, StallTls };
    enum class Push { Normal, Refuse403, Stall };
    using Finish = FinishOrder;

    bool lndpSilent = false;
    bool broadcastDeaf = false; // ignore discovery not sent to the device's own address
    Connect connect = Connect::Normal;
    Push push = Push::Normal;
    bool pingsUnanswered = false;
    int uploadStatus = 0; // 0: judge uploads normally, else answer this status
    bool resultFirst = false; // push an upload's result (or update start) before answering the upload
    Finish finish = Finish::Normal;
    qint64 throttleBytesPerSecond = 0; // 0: read uploads at full speed
    int updateResult = 0; // reported at the end of a firmware update
    int importResult = -1; // -1: 0 for well-formed XML, 5 otherwise
    bool reportVersion = true; // send the new version with the update result
    int authStatus = 0; // 0: answer an authorised authenticate with 200, else this status
    int settingsStatus = 0; // 0: answer an authorised settings read with 200, else this status
    bool settingsClose = false; // close the connection instead of answering the settings read
    QString settingsDrop; // section left out of the settings read's answer ("" for none)
    bool vanishAfterAuth = false; // stop listening and end the connection after answering authenticate
    bool requestStall = false; // read the head of every request, then never answer it
    QByteArray redirect; // Location of 3xx answers to authenticate and settings read ("" for none)
    qint64 settingsSize = 0; // 0: the settings read's answer as it is, else padded to this many bytes
};

// One virtual device: its identity and state, its HTTPS and push servers, and
// the behaviour that follows an upload. Every change of reported state goes
// out as a settings notification on the push channel.
class VirtualDevice : public QObject
{
    Q_OBJECT

public:
    VirtualDevice(const DeviceConfig& config, const QSslConfiguration& tls, int updateStepMs, int updateStepPercent,
                  QObject* parent = nullptr);
    ~VirtualDevice() override;

    bool start(quint16 httpsPort, QString& error);

    const DeviceConfig& config() const { return m_config; }
    DeviceFaults& faults() { return m_faults; }
    const DeviceFaults& faults() const { return m_faults; }
    quint16 httpsPort() const;
    PushHub* pushHub() const { return m_push; }
    HttpsServer* httpsServer() const { return m_https; }

    // "Basic base64(admin:<md5 hex of the password>)"
    bool isAuthorised(const QByteArray& authorization) const;
    QByteArray authCode() const;

    QJsonObject settingsDocument() const;
    int deviceStatus() const { return m_deviceStatus; }
    bool isUpdating() const { return m_updateTimer.isActive() || m_updatePercent >= 0; }

    // Results of accepted uploads.
    void startFirmwareUpdate(const QString& fileName);
    void finishImport(bool wellFormed);
    void finishStandbyImage(bool valid);

    // A reboot, as after a successful firmware update: the push channels and
    // every HTTPS connection are dropped, discovery and HTTPS stay silent for
    // the reboot time, then the device is back with its settings and the
    // version it now runs. Calling it again while down starts the time anew.
    void reboot();
    bool isRebooting() const { return m_rebootTimer.isActive(); }
    // Reboot time in ms; 0 keeps the device running after an update (a
    // direct reboot then takes no time at all).
    void setRebootMs(int ms) { m_rebootMs = ms; }
    int rebootMs() const { return m_rebootMs; }

    // Every intervalMs a settings notification with the device status
    // toggled between idle and busy; 0 stops it and restores the status the
    // device had before.
    void setPushRate(int intervalMs);
    int pushRate() const { return m_pushRateTimer.isActive() ? m_pushRateTimer.interval() : 0; }
    // Notifications put on a channel (one per open channel per notification).
    qint64 notificationsSent() const { return m_notificationsSent; }
    // Requests (push upgrades among them) that came with an Authorization
    // header, whatever it held: what a client handed this device's key.
    void noteCredential() { ++m_credentialsSeen; }
    qint64 credentialsSeen() const { return m_credentialsSeen; }

    // Control channel.
    void setDeviceStatus(int status);
    bool setValue(const QString& key, const QString& value, QString& error);
    void applyConnectFault(DeviceFaults::Connect mode);
    // Back to the faults the device was started with (its broadcast and
    // throttle keys), none else.
    void clearFaults();

    // A new key and certificate for the connections accepted from now on;
    // restoreKey() goes back to the one the device started with.
    bool swapKey(QString& error);
    void restoreKey();
    // Shows `other`'s own key from now on: one machine answering for two
    // devices, or a device that copied another's key.
    void useKeyOf(const VirtualDevice& other);
    const QSslConfiguration& startTls() const { return m_startTls; }

    // Sends {"command": {...}, "body": body} to every open push channel.
    void notify(const QJsonObject& body);
    static QByteArray notification(const QJsonObject& body);
    // The body's text as it is, members in the order written.
    void notifyText(const QByteArray& body);
    // A notification of the device status padded to `size` bytes with a
    // long "padding" member in the body; smaller than asked when `size` is
    // below the bare message.
    PaddedJson paddedNotification(qint64 size) const;
    // Sends it to every open push channel; returns the number of channels.
    int notifyPadded(const PaddedJson& message);

Q_SIGNALS:
    // Things worth a line on the console ("upload firmware ok ...").
    void event(const QString& text);

private:
    // Pushes the result {section: result} and, as faults().finish says, the
    // idle state with it; `idleByDefault`: Normal pushes idle after it.
    void pushResult(const char* section, const QJsonObject& result, bool idleByDefault);
    void updateStep();
    void finishReboot();
    void pushRateStep();
    QString nextVersion(const QString& fileName) const;
    DeviceFaults startFaults() const;

    DeviceConfig m_config;
    DeviceFaults m_faults;
    int m_updateStepMs;
    int m_updateStepPercent;
    int m_deviceStatus;
    int m_upgradeStatus = -1;
    int m_upgradeResult = -1;
    int m_importCode = -1;
    int m_imageValid = -1;
    int m_updatePercent = -1;
    QString m_pendingVersion;
    QTimer m_updateTimer;
    int m_rebootMs = 3000;
    QTimer m_rebootTimer;
    QTimer m_pushRateTimer;
    int m_statusBeforePushRate = 0;
    qint64 m_notificationsSent = 0;
    qint64 m_credentialsSeen = 0;
    HttpsServer* m_https = nullptr; // child of this
    QSslConfiguration m_startTls;
    PushHub* m_push = nullptr; // child of this
};
