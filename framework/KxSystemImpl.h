#pragma once

#include "KxSystemAbstractImpl.h"

#include <QMutex>

#include <atomic>
#include <memory>

class BatchJournal;
class BatchUploadController;
class DeviceFacade;
class FirmwareUpdateController;
class ImportConfigurationController;
class PushSessionService;
class StandbyScreenImageChangeController;

// The system behind KxSystem: holds the system status, runs the three batch
// operations over the checked devices and turns alerts into system events.
//
// sendEvent queues a batch (FirmwareUpdate, ImportConfiguration,
// StandbyScreenImageChange) and returns true; it never runs one inside the
// caller. A batch ({"devices": [ids], "filePath": file URL}) runs only from
// Active: it holds its status (FirmwareUpdating, ConfigurationImporting,
// StandbyScreenImageChanging) while it hands the devices one after another,
// in list order, to its controller, and returns to Active after the last one.
// A request without devices or path, or one that arrives while a batch runs,
// is dropped without a word. StopBatch (no options; true when a batch runs)
// lets the running device finish and starts no other; sent again, it also
// ends the running device's upload. The journal follows each batch to every
// device's final result; the request may carry "skipped": [{"device": id,
// "reason": text}], devices left out at login, which are counted and not
// run. Every alert of the AlertNotifier comes back as
// eventReceived(ErrorAlertNotified or NoErrorAlertNotified,
// {"errorCode": code}) by bit 31 of the code.
//
// Threads: user-interface thread only. The status is written under a mutex
// (statusChanged is emitted while it is held) and read without it. A batch
// blocks its caller, not the event loop: each upload waits in the HTTP
// layer's nested event loop, so progress, push reports and alerts are
// delivered meanwhile.
class KxSystemImpl : public KxSystemAbstractImpl
{
    Q_OBJECT

public:
    // On the process's facade and push sessions (Services). Connects to the
    // AlertNotifier's instance if it exists at this point.
    explicit KxSystemImpl(QObject* parent = nullptr);
    // On a facade and push-session service of the caller's (tests); both must
    // outlive this object.
    KxSystemImpl(DeviceFacade& facade, PushSessionService* pushSessions, QObject* parent = nullptr);
    ~KxSystemImpl() override;

public Q_SLOTS:
    bool sendEvent(KxSystemEventID::ID eventID, const QVariantMap& options) override;
    KxSystemStatus::Status status() const override;
    QObject* journal() const override;

    void execFirmwareUpdate(const QVariantMap& options);
    void execImportConfiguration(const QVariantMap& options);
    void execStandbyScreenImageChange(const QVariantMap& options);

    void onReceivedAlert(unsigned int errorCode);

Q_SIGNALS:
    void reserveFirmwareUpdate(QVariantMap options);
    void reserveImportConfiguration(QVariantMap options);
    void reserveStandbyScreenImageChange(QVariantMap options);

private:
    friend class KxSystemImplFactory;
    struct Batch;

    // The end of shared ownership: deletes the object now, or, when the last
    // owner lets go while a batch waits in a nested event loop inside it,
    // once that batch is done.
    void release();

    void connectSignals();
    void runBatch(const QVariantMap& options, const Batch& batch);
    void setStatus(KxSystemStatus::Status status);
    bool stopBatch();

    std::shared_ptr<FirmwareUpdateController> m_firmwareUpdate;
    std::shared_ptr<ImportConfigurationController> m_importConfiguration;
    std::shared_ptr<StandbyScreenImageChangeController> m_standbyScreenImageChange;

    BatchJournal* m_journal; // a child
    std::atomic<KxSystemStatus::Status> m_status{KxSystemStatus::Active};
    QMutex m_statusLock;
    bool m_batchRunning = false;
    int m_stopRequests = 0; // of the running batch
    BatchUploadController* m_runningController = nullptr; // of the running batch
    bool m_releaseAfterBatch = false;
};

// Creates the implementation KxSystem fronts share. Null when it cannot be
// made; never throws. The object goes with its last owner, but not before a
// batch that runs in it has finished.
class KxSystemImplFactory
{
public:
    static std::shared_ptr<KxSystemAbstractImpl> createKxImpl();
};
