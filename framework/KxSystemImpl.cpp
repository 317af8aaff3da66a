#include "KxSystemImpl.h"

#include "Services.h"

#include "AlertNotifier.h"
#include "BatchJournal.h"
#include "BatchOperation.h"
#include "FirmwareUpdateController.h"
#include "ImportConfigurationController.h"
#include "Logger.h"
#include "ResultCode.h"
#include "StandbyScreenImageChangeController.h"

#include <QMutexLocker>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <new>

namespace {

const QString kDevicesKey = QStringLiteral("devices");
const QString kFilePathKey = QStringLiteral("filePath");
const QString kErrorCodeKey = QStringLiteral("errorCode");
const QString kSkippedKey = QStringLiteral("skipped");
const QString kSkippedDeviceKey = QStringLiteral("device");

} // namespace

// What distinguishes the three batch operations for the driver: the status
// the system holds while it runs and the call that handles one device.
struct KxSystemImpl::Batch
{
    KxSystemStatus::Status status;
    const char* name;
    const char* title; // as the operator reads it, like the buttons
    const BatchOperation& operation;
    BatchUploadController* controller;
    std::function<bool(const QString& deviceId, const QString& filePath)> handleDevice;
};

KxSystemImpl::KxSystemImpl(QObject* parent)
    : KxSystemImpl(*Services::process().facade, Services::process().pushSessions, parent)
{
}

KxSystemImpl::KxSystemImpl(DeviceFacade& facade, PushSessionService* pushSessions, QObject* parent)
    : KxSystemAbstractImpl(parent)
    , m_firmwareUpdate(std::make_shared<FirmwareUpdateController>(facade, pushSessions))
    , m_importConfiguration(std::make_shared<ImportConfigurationController>(facade, pushSessions))
    , m_standbyScreenImageChange(std::make_shared<StandbyScreenImageChangeController>(facade, pushSessions))
    , m_journal(new BatchJournal(facade, this))
{
    connectSignals();
}

KxSystemImpl::~KxSystemImpl() = default;

void KxSystemImpl::connectSignals()
{
    // Queued: a batch starts when the event loop next runs, never inside the
    // caller's sendEvent.
    connect(this, &KxSystemImpl::reserveFirmwareUpdate, this, &KxSystemImpl::execFirmwareUpdate, Qt::QueuedConnection);
    connect(this, &KxSystemImpl::reserveImportConfiguration, this, &KxSystemImpl::execImportConfiguration,
            Qt::QueuedConnection);
    connect(this, &KxSystemImpl::reserveStandbyScreenImageChange, this, &KxSystemImpl::execStandbyScreenImageChange,
            Qt::QueuedConnection);

    AlertNotifier* notifier = AlertNotifier::getInstance();
    if (notifier == nullptr) {
        CORVANE_LOG("no alert notifier: alerts will not reach the views");
        return;
    }
    // Queued as well: alerts may be raised on any thread, and one raised
    // inside a batch is shown by the loop the batch waits in.
    connect(notifier, &AlertNotifier::notifyAlert, this, &KxSystemImpl::onReceivedAlert, Qt::QueuedConnection);
}

bool KxSystemImpl::sendEvent(KxSystemEventID::ID eventID, const QVariantMap& options)
{
    switch (eventID) {
    case KxSystemEventID::FirmwareUpdate:
        Q_EMIT reserveFirmwareUpdate(options);
        return true;
    case KxSystemEventID::ImportConfiguration:
        Q_EMIT reserveImportConfiguration(options);
        return true;
    case KxSystemEventID::StandbyScreenImageChange:
        Q_EMIT reserveStandbyScreenImageChange(options);
        return true;
    case KxSystemEventID::StopBatch:
        return stopBatch();
    default:
        return false;
    }
}

KxSystemStatus::Status KxSystemImpl::status() const
{
    return m_status.load();
}

QObject* KxSystemImpl::journal() const
{
    return m_journal;
}

void KxSystemImpl::execFirmwareUpdate(const QVariantMap& options)
{
    const std::shared_ptr<FirmwareUpdateController> controller = m_firmwareUpdate;
    runBatch(options, {KxSystemStatus::FirmwareUpdating, "firmware update", "Update", BatchOperations::kFirmwareUpdate,
                       controller.get(),
                       [controller](const QString& id, const QString& path) { return controller->update(id, path); }});
}

void KxSystemImpl::execImportConfiguration(const QVariantMap& options)
{
    const std::shared_ptr<ImportConfigurationController> controller = m_importConfiguration;
    runBatch(options, {KxSystemStatus::ConfigurationImporting, "configuration import", "Import",
                       BatchOperations::kConfigurationImport, controller.get(),
                       [controller](const QString& id, const QString& path) { return controller->execute(id, path); }});
}

void KxSystemImpl::execStandbyScreenImageChange(const QVariantMap& options)
{
    const std::shared_ptr<StandbyScreenImageChangeController> controller = m_standbyScreenImageChange;
    runBatch(options, {KxSystemStatus::StandbyScreenImageChanging, "standby-screen image change", "Stand-by image",
                       BatchOperations::kStandbyScreenImageChange, controller.get(),
                       [controller](const QString& id, const QString& path) { return controller->execute(id, path); }});
}

void KxSystemImpl::runBatch(const QVariantMap& options, const Batch& batch)
{
    // Devices left out at login are counted, never run.
    const QVariantList skipped = options.value(kSkippedKey).toList();
    QStringList devices = options.value(kDevicesKey).toStringList();
    for (const QVariant& entry : skipped)
        devices.removeAll(entry.toMap().value(kSkippedDeviceKey).toString());
    if (devices.isEmpty() && skipped.isEmpty())
        return;
    const QString path = options.value(kFilePathKey).toUrl().toLocalFile();
    if (path.isEmpty())
        return;
    // A request delivered by the nested loop of a running batch lands here:
    // the window cannot send one then, anything else is dropped.
    if (m_status.load() != KxSystemStatus::Active) {
        CORVANE_LOG(QStringLiteral("%1 request dropped: another operation runs").arg(QLatin1String(batch.name)));
        return;
    }

    m_batchRunning = true;
    m_stopRequests = 0;
    m_runningController = batch.controller;
    setStatus(batch.status);
    m_journal->begin(batch.operation, QLatin1String(batch.title), devices, skipped, path);
    CORVANE_LOG(QStringLiteral("%1 of %2 device(s) started").arg(QLatin1String(batch.name)).arg(devices.size()));
    int accepted = 0;
    int handled = 0;
    for (const QString& deviceId : devices) {
        if (m_stopRequests > 0) {
            CORVANE_LOG(QStringLiteral("%1 stopped on request: %2 device(s) not started")
                            .arg(QLatin1String(batch.name))
                            .arg(devices.size() - handled));
            break;
        }
        // One device at a time: each call returns only when its upload has
        // been answered or has failed.
        m_journal->deviceStarting(deviceId);
        const bool took = batch.handleDevice(deviceId, path);
        m_journal->deviceHandled(deviceId, took);
        if (took)
            ++accepted;
        ++handled;
    }
    m_runningController = nullptr;
    CORVANE_LOG(QStringLiteral("%1 finished: %2 of %3 device(s) accepted the file")
                    .arg(QLatin1String(batch.name))
                    .arg(accepted)
                    .arg(devices.size()));
    // Those that took the file still install: the journal waits for them.
    m_journal->uploadsDone();
    setStatus(KxSystemStatus::Active);
    m_batchRunning = false;
    if (m_releaseAfterBatch)
        deleteLater();
}

bool KxSystemImpl::stopBatch()
{
    if (!m_batchRunning)
        return false;
    if (++m_stopRequests == 1) {
        CORVANE_LOG("stop requested: the running device finishes, no other starts");
        m_journal->stopRequested(false);
    } else if (m_runningController != nullptr) {
        m_journal->stopRequested(true);
        CORVANE_LOG("stop requested again: the running upload is ended");
        m_runningController->abortUpload();
    }
    return true;
}

void KxSystemImpl::release()
{
    if (m_batchRunning) {
        m_releaseAfterBatch = true;
        return;
    }
    delete this;
}

void KxSystemImpl::setStatus(KxSystemStatus::Status status)
{
    QMutexLocker locker(&m_statusLock);
    m_status.store(status);
    Q_EMIT statusChanged();
}

void KxSystemImpl::onReceivedAlert(unsigned int errorCode)
{
    const QVariantMap options{{kErrorCodeKey, QVariant::fromValue(errorCode)}};
    const KxSystemEventID::ID id = ResultCode::isFailure(static_cast<int32_t>(errorCode))
                                       ? KxSystemEventID::ErrorAlertNotified
                                       : KxSystemEventID::NoErrorAlertNotified;
    Q_EMIT eventReceived(id, options);
}

std::shared_ptr<KxSystemAbstractImpl> KxSystemImplFactory::createKxImpl()
{
    try {
        KxSystemImpl* impl = new (std::nothrow) KxSystemImpl;
        if (impl == nullptr)
            return nullptr;
        return std::shared_ptr<KxSystemAbstractImpl>(
            impl, [](KxSystemAbstractImpl* object) { static_cast<KxSystemImpl*>(object)->release(); });
    } catch (...) {
        // A controller that could not be allocated; the shared pointer's own
        // allocation failure has deleted the object already.
        return nullptr;
    }
}
