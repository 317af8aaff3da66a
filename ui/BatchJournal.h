#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>

class DeviceFacade;
struct BatchOperation;

// What one batch did to each of its devices, from its start until every
// device has its final result: the device's own result pushed after the
// upload included. The window shows its line and says what it announces;
// the results can be saved in corvanectl's report format.
//
// The batch driver tells it the steps (begin, each device's start and end,
// stops, the end of the uploads); the devices' results it reads from their
// records through the facade. At the start every device of the batch reads
// "Waiting", superseding the last batch's result; those the batch never
// reached read "Not started". A device that has taken the file and does not
// report within the result time-out reads "No result".
//
// User-interface thread only.
class BatchJournal : public QObject
{
    Q_OBJECT
    // The batch's state in one line: its start, a stop asked for, its
    // finishing, its summary; empty before the first batch.
    Q_PROPERTY(QString line READ line NOTIFY lineChanged)
    // From the start until every device has its final result.
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    // A batch has ended: its results can be saved.
    Q_PROPERTY(bool ended READ ended NOTIFY endedChanged)

public:
    enum class Outcome { Waiting, Running, Installing, Succeeded, Failed, Skipped, Stopped, NotStarted, NoResult };

    static constexpr int kResultTimeoutMs = 10 * 60 * 1000;

    explicit BatchJournal(DeviceFacade& facade, QObject* parent = nullptr);

    QString line() const { return m_line; }
    bool busy() const { return m_busy; }
    bool ended() const { return m_ended; }
    void setResultTimeout(int ms) { m_resultTimeoutMs = ms; }

    // `title` names the operation as the buttons do ("Update"); `skipped`
    // holds {"device": id, "reason": text} for devices left out at login.
    void begin(const BatchOperation& operation, const QString& title, const QStringList& devices,
               const QVariantList& skipped, const QString& filePath);
    void deviceStarting(const QString& deviceId);
    // After the controller returned; `accepted`: the device took the file.
    void deviceHandled(const QString& deviceId, bool accepted);
    // `now`: the running upload is ended as well.
    void stopRequested(bool now);
    // The driver handed out no more devices: those not reached are not
    // started; the batch ends when the installing devices have reported.
    void uploadsDone();

    QJsonArray entries() const;
    QJsonObject summary() const;
    // "Update finished: 2 succeeded, 1 failed, 0 skipped, 0 stopped".
    QString summaryText() const;

    // Writes the ended batch's results, CSV when the name ends in ".csv",
    // else JSON; all or nothing. Empty on success, else why not.
    Q_INVOKABLE QString saveResults(const QUrl& file) const;

Q_SIGNALS:
    void lineChanged();
    void busyChanged();
    void endedChanged();
    // A text for screen readers, at the moment it happens.
    void announced(const QString& text);

private:
    struct Device
    {
        QString id;
        QString model;
        QString hostName;
        QString ipAddress;
        QString versionBefore;
        QString versionAfter;
        Outcome outcome = Outcome::Waiting;
        QString message;
        QDateTime start;
        QDateTime end;
        int attempts = 0;
    };

    Device* find(const QString& deviceId);
    void settle(Device& device, Outcome outcome, const QString& message);
    void onRecordChanged(const QString& deviceId);
    void finishIfDone();
    void finish();
    void say(const QString& text);
    int count(Outcome outcome) const;

    DeviceFacade& m_facade;
    const BatchOperation* m_operation = nullptr;
    QString m_title;
    QString m_fileName;
    qint64 m_fileSize = 0;
    QList<Device> m_devices;
    QList<QMetaObject::Connection> m_watches;
    QDateTime m_started;
    QDateTime m_finished;
    bool m_uploadsDone = false;
    QString m_line;
    bool m_busy = false;
    bool m_ended = false;
    int m_resultTimeoutMs = kResultTimeoutMs;
    QTimer m_resultTimer;
};
