#include "BatchUploadController.h"

#include "AlertNotifier.h"
#include "BatchOperation.h"
#include "BatchRules.h"
#include "DeviceData.h"
#include "DeviceFacade.h"
#include "FileDigestCache.h"
#include "FileUploader.h"
#include "Logger.h"
#include "MultiPartBody.h"
#include "PushSessionService.h"
#include "UploadProgressGate.h"

#include <QScopeGuard>

namespace {

// The device may spend a long time taking a large file in.
constexpr unsigned kUploadTimeoutMs = 3600000;

// The code the device fails with when it cannot take the file now, without
// contacting it; nullopt when it can.
std::optional<int32_t> refusal(const BatchOperation& op, const DeviceFacade& facade, const QString& deviceId,
                               const QString& filePath)
{
    if (!BatchRules::suffixAccepted(op, filePath))
        return op.wrongSuffix;
    return BatchRules::refusal(op, BatchRules::readState(facade, deviceId));
}

} // namespace

BatchUploadController::BatchUploadController(const BatchOperation& operation, DeviceFacade& facade,
                                             PushSessionService* pushSessions, QObject* parent)
    : QObject(parent)
    , m_operation(operation)
    , m_facade(facade)
    , m_pushSessions(pushSessions)
    , m_digests(std::make_unique<FileDigestCache>())
{
}

BatchUploadController::~BatchUploadController() = default;

bool BatchUploadController::run(const QString& deviceId, const QString& filePath)
{
    const BatchOperation& op = m_operation;
    m_abortRequested = false;
    if (const std::optional<int32_t> refused = refusal(op, m_facade, deviceId, filePath))
        return fail(deviceId, *refused, 0);

    QVariant address;
    QVariant authCode;
    if (!m_facade.getDeviceParameter(deviceId, DeviceParameter::IpAddress, address, DeviceFindPolicy::ById)
        || !m_facade.getDeviceParameter(deviceId, DeviceParameter::AcceptedMd5Password, authCode,
                                        DeviceFindPolicy::ById)) {
        if (!op.silentWithoutAddress)
            return fail(deviceId, op.notReady, 0);
        CORVANE_LOG(QStringLiteral("%1: no address or code for %2; left alone").arg(QLatin1String(op.name), deviceId));
        return false;
    }
    const QString ipAddress = address.toString();

    int status = 0;
    const int32_t code = upload(deviceId, ipAddress, authCode.toString(), filePath, status);
    if (ResultCode::isFailure(code) && m_abortRequested) {
        // The operator's own stop is no network failure: no alert.
        CORVANE_LOG(QStringLiteral("%1: %2 stopped by the operator").arg(QLatin1String(op.name), deviceId));
        m_facade.setDeviceParameter(deviceId, op.resultParameter, QVariant::fromValue(BatchMark::Stopped),
                                    DeviceFindPolicy::ById);
        return false;
    }
    if (ResultCode::isFailure(code))
        return fail(deviceId, code, 0);
    return judge(deviceId, filePath, status);
}

int32_t BatchUploadController::upload(const QString& deviceId, const QString& ipAddress, const QString& authCode,
                                      const QString& filePath, int& status)
{
    // The body, the uploader and the gate live for this one device.
    MultiPartBody body(filePath);
    int32_t code = body.generate(m_digests->md5(filePath));
    if (ResultCode::isFailure(code))
        return code;
    FileUploader uploader(deviceId, ipAddress, m_operation.uploadPath, &body);
    const UploadProgressGate gate(m_facade, deviceId, m_operation.resultParameter, uploader,
                                  [this](const QString& device, qint64 bytesSent, qint64 bytesTotal) {
                                      setUploadProgress(device, bytesSent, bytesTotal);
                                  });
    // A device whose channel is declared gone is not waited on for the
    // upload's hour: the batch goes on to the next device.
    QObject watch;
    std::shared_ptr<DeviceData> record;
    if (m_facade.getDeviceData(deviceId, record)) {
        connect(record.get(), &DeviceData::dataChanged, &watch, [&](const QString&, DeviceParameter type) {
            if (type != DeviceParameter::ConnectionStatus)
                return;
            QVariant status;
            m_facade.getDeviceParameter(deviceId, DeviceParameter::ConnectionStatus, status, DeviceFindPolicy::ById);
            if (status.toInt() == toInt(ConnectionStatus::Connected))
                return;
            CORVANE_LOG(QStringLiteral("%1: %2 lost its push channel during the upload; the upload is ended")
                            .arg(QLatin1String(m_operation.name), deviceId));
            uploader.abort();
        });
    }
    m_running = &uploader;
    const auto notRunning = qScopeGuard([this] { m_running = nullptr; });
    code = uploader.upload(authCode, kUploadTimeoutMs);
    if (ResultCode::isSuccess(code))
        code = uploader.getResponseStatusCode(status);
    return code;
}

bool BatchUploadController::judge(const QString& deviceId, const QString& filePath, int status)
{
    const BatchOperation& op = m_operation;
    const BatchRules::Answer answer = BatchRules::answer(op, status);
    if (answer.accepted) {
        CORVANE_LOG(
            QStringLiteral("%1: %2 took %3 (status %4)").arg(QLatin1String(op.name), deviceId, filePath).arg(status));
        return true;
    }
    if (answer.loginOver)
        BatchRules::endLogin(m_facade, m_pushSessions.data(), deviceId);
    // Only a refused login raises an alert; any other status shows the
    // device as failed without one.
    return fail(deviceId, answer.code, status, answer.loginOver);
}

bool BatchUploadController::fail(const QString& deviceId, int32_t code, int httpStatus, bool alert)
{
    CORVANE_LOG(QStringLiteral("%1: %2 failed, code %3, HTTP status %4")
                    .arg(QLatin1String(m_operation.name), deviceId, ResultCode::toHex(code))
                    .arg(httpStatus));
    m_facade.setDeviceParameter(deviceId, m_operation.resultParameter, m_operation.failedResult,
                                DeviceFindPolicy::ById);
    // An unexpected answer keeps the status query's result (0): no toast.
    AlertNotifier::notify(static_cast<unsigned int>(alert ? code : ResultCode::kSuccess));
    return false;
}

void BatchUploadController::abortUpload()
{
    if (m_running) {
        CORVANE_LOG(QStringLiteral("%1: the running upload is ended on request").arg(QLatin1String(m_operation.name)));
        m_abortRequested = true;
        m_running->abort();
    }
}

void BatchUploadController::setUploadProgress(QString deviceId, qint64 bytesSent, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return;
    const qint64 percent = bytesSent * 100 / bytesTotal;
    m_facade.setDeviceParameter(deviceId, m_operation.progressParameter, static_cast<int>(percent),
                                DeviceFindPolicy::ById);
}
