#include "BatchRules.h"

#include "BatchOperation.h"
#include "DeviceFacade.h"
#include "DeviceStatus.h"
#include "HttpStatus.h"
#include "PushSessionService.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

namespace BatchRules {

bool suffixAccepted(const BatchOperation& operation, const QString& filePath)
{
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    for (const char* accepted : operation.suffixes) {
        if (accepted != nullptr && suffix == QLatin1String(accepted))
            return true;
    }
    return false;
}

QString acceptedSuffixes(const BatchOperation& operation)
{
    QStringList suffixes;
    for (const char* accepted : operation.suffixes) {
        if (accepted != nullptr)
            suffixes << QLatin1Char('.') + QLatin1String(accepted);
    }
    return suffixes.join(QLatin1String(", "));
}

QString versionInName(const QString& fileName)
{
    static const QRegularExpression version(QStringLiteral("\\d+(?:\\.\\d+)+"));
    return version.match(fileName).captured();
}

DeviceState readState(const DeviceFacade& facade, const QString& deviceId)
{
    DeviceState state;
    facade.getDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, state.loggedIn, DeviceFindPolicy::ById);
    facade.getDeviceParameter(deviceId, DeviceParameter::ConnectionStatus, state.connection, DeviceFindPolicy::ById);
    facade.getDeviceParameter(deviceId, DeviceParameter::RunningStatus, state.running, DeviceFindPolicy::ById);
    return state;
}

std::optional<int32_t> runningRefusal(const BatchOperation& operation, const QVariant& running)
{
    if (!running.isValid())
        return operation.notReady;
    const int status = running.toInt();
    const bool busy = operation.busyRule == BatchOperation::BusyRule::NotIdle ? status != 0 : status == 1;
    return busy ? std::optional<int32_t>(operation.busy) : std::nullopt;
}

std::optional<int32_t> refusal(const BatchOperation& operation, const DeviceState& state)
{
    if (!state.loggedIn.toBool() || !state.connection.isValid())
        return operation.notReady;
    if (state.connection.toInt() != toInt(ConnectionStatus::Connected))
        return operation.disconnected;
    return runningRefusal(operation, state.running);
}

Answer answer(const BatchOperation& operation, int httpStatus)
{
    if (HttpStatus::isAccepted(httpStatus))
        return {true, ResultCode::kSuccess, false};
    if (httpStatus == 403)
        return {false, operation.forbidden, true};
    return {false, operation.refusedWith(httpStatus), false};
}

void endLogin(DeviceFacade& facade, PushSessionService* sessions, const QString& deviceId)
{
    facade.setDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, false, DeviceFindPolicy::ById);
    if (sessions != nullptr)
        sessions->destroySession(deviceId, DeviceEndpoints::kPushPort);
}

PushedResult pushedResult(const BatchOperation& operation, const QVariant& value)
{
    // A batch's own mark is no result of the device's.
    if (value.metaType() == QMetaType::fromType<BatchMark>())
        return {};
    DeviceStatusType type = DeviceStatusType::FirmwareUpdateResult;
    if (operation.resultParameter == DeviceParameter::ImportResult)
        type = DeviceStatusType::ConfigImportResult;
    else if (operation.resultParameter == DeviceParameter::StandbyImageResult)
        type = DeviceStatusType::StandbyScreenImageChangeResult;
    DeviceStatus board;
    board.setStatus(type, value);
    const DeviceStatusList status = board.getStatus(DeviceStatusDisplayPriority::Result);
    if (status == kNoStatus)
        return {};
    const DeviceStatus::Entry entry{status, QVariant()};
    const bool succeeded = status == DeviceStatusList::UpdateSuccessful || status == DeviceStatusList::ImportSuccessful
                           || status == DeviceStatusList::StandbyScreenImageUploaded;
    return {true, succeeded, board.getStatusMessage(entry)};
}

} // namespace BatchRules
