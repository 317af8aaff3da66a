#include "BatchUploadController.h"

#include "AlertNotifier.h"
#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "FileDigestCache.h"
#include "FileUploader.h"
#include "HttpStatus.h"
#include "Logger.h"
#include "MultiPartBody.h"
#include "PushSessionService.h"
#include "UploadProgressGate.h"

#include <QFileInfo>

namespace {

// The device may spend a long time taking a large file in.
constexpr unsigned kUploadTimeoutMs = 3600000;

bool suffixAccepted(const BatchOperation& op, const QString& filePath)
{
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    for (const char* accepted : op.suffixes) {
        if (accepted != nullptr && suffix == QLatin1String(accepted))
            return true;
    }
    return false;
}

// True when the file's kind fits and the device can take it now; else false
// with the code the device fails with. The device is not contacted.
bool deviceReady(const BatchOperation& op, const DeviceFacade& facade, const QString& deviceId, const QString& filePath,
                 int32_t& code)
{
    if (!suffixAccepted(op, filePath)) {
        code = op.wrongSuffix;
        return false;
    }
    QVariant loggedIn;
    if (!facade.getDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, loggedIn, DeviceFindPolicy::ById)
        || !loggedIn.toBool()) {
        code = op.notReady;
        return false;
    }
    QVariant connection;
    if (!facade.getDeviceParameter(deviceId, DeviceParameter::ConnectionStatus, connection, DeviceFindPolicy::ById)) {
        code = op.notReady;
        return false;
    }
    if (connection.toInt() != toInt(ConnectionStatus::Connected)) {
        code = op.disconnected;
        return false;
    }
    QVariant running;
    if (!facade.getDeviceParameter(deviceId, DeviceParameter::RunningStatus, running, DeviceFindPolicy::ById)) {
        code = op.notReady;
        return false;
    }
    const int runningStatus = running.toInt();
    if (op.busyRule == BatchOperation::BusyRule::NotIdle ? runningStatus != 0 : runningStatus == 1) {
        code = op.busy;
        return false;
    }
    return true;
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
    int32_t code = ResultCode::kSuccess;
    if (!deviceReady(op, m_facade, deviceId, filePath, code))
        return fail(deviceId, code, 0);

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
    code = upload(deviceId, ipAddress, authCode.toString(), filePath, status);
    if (ResultCode::isFailure(code))
        return fail(deviceId, code, 0);
    return judge(deviceId, ipAddress, filePath, status);
}

int32_t BatchUploadController::upload(const QString& deviceId, const QString& ipAddress, const QString& authCode,
                                      const QString& filePath, int& status)
{
    // The body, the uploader and the gate live for this one device.
    MultiPartBody body(filePath);
    int32_t code = body.generate(m_digests->md5(filePath));
    if (ResultCode::isFailure(code))
        return code;
    FileUploader uploader(ipAddress, m_operation.uploadPath, &body);
    const UploadProgressGate gate(m_facade, deviceId, m_operation.resultParameter, uploader,
                                  [this](const QString& host, qint64 bytesSent, qint64 bytesTotal) {
                                      setUploadProgress(host, bytesSent, bytesTotal);
                                  });
    code = uploader.upload(authCode, kUploadTimeoutMs);
    if (ResultCode::isSuccess(code))
        code = uploader.getResponseStatusCode(status);
    return code;
}

bool BatchUploadController::judge(const QString& deviceId, const QString& ipAddress, const QString& filePath,
                                  int status)
{
    const BatchOperation& op = m_operation;
    if (HttpStatus::isAccepted(status)) {
        CORVANE_LOG(
            QStringLiteral("%1: %2 took %3 (status %4)").arg(QLatin1String(op.name), deviceId, filePath).arg(status));
        return true;
    }
    if (status == 403) {
        // The device no longer takes the operator's code: the login and the
        // channel opened with it are over.
        m_facade.setDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, false, DeviceFindPolicy::ById);
        if (PushSessionService* sessions = m_pushSessions.data())
            sessions->destroySession(ipAddress, DeviceEndpoints::kPushPort);
        return fail(deviceId, op.forbidden, status);
    }
    // Any other status keeps the status query's result (0): the device shows
    // as failed, without a toast.
    return fail(deviceId, ResultCode::kSuccess, status);
}

bool BatchUploadController::fail(const QString& deviceId, int32_t code, int httpStatus)
{
    CORVANE_LOG(QStringLiteral("%1: %2 failed, code %3, HTTP status %4")
                    .arg(QLatin1String(m_operation.name), deviceId, ResultCode::toHex(code))
                    .arg(httpStatus));
    m_facade.setDeviceParameter(deviceId, m_operation.resultParameter, m_operation.failedResult,
                                DeviceFindPolicy::ById);
    AlertNotifier::notify(static_cast<unsigned int>(code));
    return false;
}

void BatchUploadController::setUploadProgress(QString host, qint64 bytesSent, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return;
    const qint64 percent = bytesSent * 100 / bytesTotal;
    m_facade.setDeviceParameter(host, m_operation.progressParameter, static_cast<int>(percent),
                                DeviceFindPolicy::ByIpAddress);
}
