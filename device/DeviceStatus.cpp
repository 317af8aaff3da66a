#include "DeviceStatus.h"

#include "DeviceParameter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr std::size_t kStatusTextBufferSize = 256;

bool isKnownSlot(DeviceStatusDisplayPriority priority)
{
    const int p = static_cast<int>(priority);
    return p >= static_cast<int>(DeviceStatusDisplayPriority::Connection)
           && p <= static_cast<int>(DeviceStatusDisplayPriority::Idle);
}

// Values that do not read as a number (an invalid variant, "abc") are not a
// report of anything: taking them as 0 would show "Disconnected", "0%" or a
// successful result that nobody reported.
bool readInt(const QVariant& value, int& out)
{
    bool ok = false;
    const int converted = value.toInt(&ok);
    if (ok)
        out = converted;
    return ok;
}

bool isProgressState(DeviceStatusList status)
{
    return status == DeviceStatusList::UploadingFirmware || status == DeviceStatusList::UpdatingFirmware
           || status == DeviceStatusList::UploadingConfiguration
           || status == DeviceStatusList::UploadingStandbyScreenImage;
}

// The figure a progress text shows: cut to a whole percent and held to
// 0..100, the only range a progress has (assignStatus stores any value). A
// value that is no finite number has no figure: converting it to int would be
// undefined.
bool readPercent(const QVariant& value, int& out)
{
    bool ok = false;
    const double percent = value.toDouble(&ok);
    if (!ok || !std::isfinite(percent))
        return false;
    out = static_cast<int>(std::clamp(percent, 0.0, 100.0));
    return true;
}

} // namespace

DeviceStatus::DeviceStatus()
    : m_statusTexts{
          {DeviceStatusList::Blank, ""},
          {DeviceStatusList::LoginRequired, "Login required"},
          {DeviceStatusList::Disconnected, "Disconnected"},
          {DeviceStatusList::Busy, "Busy"},
          {DeviceStatusList::InCall, "In call"},
          {DeviceStatusList::UploadingFirmware, "Uploading firmware %d%% complete"},
          {DeviceStatusList::UpdatingFirmware, "Firmware update %d%% complete"},
          {DeviceStatusList::UploadingConfiguration, "Uploading configuration file %d%% complete"},
          {DeviceStatusList::ImportProcessing, "Import processing"},
          {DeviceStatusList::UploadingStandbyScreenImage,
           "Uploading Stand-by screen image %d%% complete"},
          {DeviceStatusList::ChangingStandbyScreenImage, "Stand-by screen image changing"},
          {DeviceStatusList::UpdateSuccessful, "Update successful"},
          {DeviceStatusList::UpdateFailed, "Update failed"},
          {DeviceStatusList::UpdateSkipped, "Update skipped"},
          {DeviceStatusList::ImportSuccessful, "Import successful"},
          {DeviceStatusList::ImportFailed, "Import failed"},
          {DeviceStatusList::StandbyScreenImageUploaded,
           "Stand-by screen image successfully uploaded"},
          {DeviceStatusList::StandbyScreenImageInvalid, "Uploaded Stand-by screen image is invalid"},
          {DeviceStatusList::Ready, "Ready"},
          {DeviceStatusList::IdentityChanged, "Identity changed"},
          {DeviceStatusList::AddressShared, "Address shared"},
          {DeviceStatusList::Waiting, "Waiting"},
          {DeviceStatusList::NotStarted, "Not started"},
          {DeviceStatusList::StoppedByOperator, "Stopped by the operator"},
          {DeviceStatusList::NoResult, "No result"},
      }
    , m_statuses{
          {DeviceStatusDisplayPriority::Connection, {kNoStatus, QVariant()}},
          {DeviceStatusDisplayPriority::Activity, {kNoStatus, QVariant()}},
          {DeviceStatusDisplayPriority::Result, {kNoStatus, QVariant()}},
          {DeviceStatusDisplayPriority::Idle, {DeviceStatusList::Ready, QVariant()}},
      }
{
}

void DeviceStatus::setStatus(DeviceStatusType type, const QVariant& value)
{
    switch (type) {
    case DeviceStatusType::Connection:
        setConnectionStatus(value);
        break;
    case DeviceStatusType::LoggedIn:
        setLoggedInStatus(value);
        break;
    case DeviceStatusType::Running:
        setRunningStatus(value);
        break;
    case DeviceStatusType::FirmwareUploadProgress:
        setFirmwareUploadProgress(value);
        break;
    case DeviceStatusType::FirmwareUpdateProgress:
        setFirmwareUpdateProgress(value);
        break;
    case DeviceStatusType::FirmwareUpdateResult:
        setFirmwareUpdateResult(value);
        break;
    case DeviceStatusType::ConfigUploadProgress:
        setConfigUploadProgress(value);
        break;
    case DeviceStatusType::ConfigImportResult:
        setConfigImportResult(value);
        break;
    case DeviceStatusType::StandbyScreenImageUploadProgress:
        setStandbyScreenImageUploadProgress(value);
        break;
    case DeviceStatusType::StandbyScreenImageChangeResult:
        setStandbyScreenImageChangeResult(value);
        break;
    case DeviceStatusType::IdentityChanged:
        setIdentityChanged(value);
        break;
    case DeviceStatusType::AddressShared:
        setAddressShared(value);
        break;
    }
}

void DeviceStatus::setConnectionStatus(const QVariant& value)
{
    ConnectionStatus status = ConnectionStatus::Undetermined;
    if (!connectionStatusFromVariant(value, status))
        return;
    switch (status) {
    case ConnectionStatus::Undetermined:
        writeSlot(DeviceStatusDisplayPriority::Connection, DeviceStatusList::Blank);
        break;
    case ConnectionStatus::Inactive:
        writeSlot(DeviceStatusDisplayPriority::Connection, DeviceStatusList::Disconnected);
        break;
    case ConnectionStatus::Active:
        // Seen again, still not to be logged in to: a changed identity stays.
        if (getStatus(DeviceStatusDisplayPriority::Connection) != DeviceStatusList::IdentityChanged)
            writeSlot(DeviceStatusDisplayPriority::Connection, loginState());
        break;
    case ConnectionStatus::Connected: // nothing to complain about
        clearSlot(DeviceStatusDisplayPriority::Connection);
        break;
    }
}

void DeviceStatus::setLoggedInStatus(const QVariant& value)
{
    if (value.toBool())
        clearSlot(DeviceStatusDisplayPriority::Connection);
    else if (getStatus(DeviceStatusDisplayPriority::Connection) != DeviceStatusList::IdentityChanged)
        writeSlot(DeviceStatusDisplayPriority::Connection, loginState());
}

void DeviceStatus::setIdentityChanged(const QVariant& value)
{
    writeSlot(DeviceStatusDisplayPriority::Connection,
              value.toBool() ? DeviceStatusList::IdentityChanged : loginState());
}

void DeviceStatus::setAddressShared(const QVariant& value)
{
    m_addressShared = value.toBool();
    // Only what a device not logged in reads changes.
    const DeviceStatusList now = getStatus(DeviceStatusDisplayPriority::Connection);
    if (now == DeviceStatusList::LoginRequired || now == DeviceStatusList::AddressShared)
        writeSlot(DeviceStatusDisplayPriority::Connection, loginState());
}

void DeviceStatus::setRunningStatus(const QVariant& value)
{
    int status = 0;
    if (!readInt(value, status))
        return;
    switch (status) {
    case 0: // idle; also drops any progress shown in the slot
        clearSlot(DeviceStatusDisplayPriority::Activity);
        break;
    case 1:
        writeSlot(DeviceStatusDisplayPriority::Activity, DeviceStatusList::Busy);
        break;
    case 2:
        writeSlot(DeviceStatusDisplayPriority::Activity, DeviceStatusList::InCall);
        break;
    default:
        break;
    }
}

void DeviceStatus::setFirmwareUploadProgress(const QVariant& value)
{
    setProgress(DeviceStatusList::UploadingFirmware, value);
}

void DeviceStatus::setFirmwareUpdateProgress(const QVariant& value)
{
    setProgress(DeviceStatusList::UpdatingFirmware, value);
}

void DeviceStatus::setConfigUploadProgress(const QVariant& value)
{
    setProgress(DeviceStatusList::UploadingConfiguration, value);
}

void DeviceStatus::setStandbyScreenImageUploadProgress(const QVariant& value)
{
    setProgress(DeviceStatusList::UploadingStandbyScreenImage, value);
}

void DeviceStatus::setFirmwareUpdateResult(const QVariant& value)
{
    if (applyBatchMark(value, DeviceStatusList::UploadingFirmware))
        return;
    clearActivityIf(DeviceStatusList::UpdatingFirmware);
    // A result also ends an upload that never got to the installation (a
    // refused or broken upload): its last percentage would otherwise stay on
    // show as if the upload still ran.
    clearActivityIf(DeviceStatusList::UploadingFirmware);
    int result = 0;
    if (!readInt(value, result))
        return;
    switch (result) {
    case 0:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::UpdateSuccessful);
        break;
    case 1:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::UpdateFailed);
        break;
    case 2:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::UpdateSkipped);
        break;
    default:
        break;
    }
}

void DeviceStatus::setConfigImportResult(const QVariant& value)
{
    if (applyBatchMark(value, DeviceStatusList::UploadingConfiguration))
        return;
    clearActivityIf(DeviceStatusList::UploadingConfiguration);
    // The device reports several success and failure flavours; the board only
    // distinguishes the two groups.
    int result = -1;
    if (!readInt(value, result))
        return;
    if (result >= 0 && result <= 4)
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::ImportSuccessful);
    else if (result >= 5 && result <= 7)
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::ImportFailed);
}

void DeviceStatus::setStandbyScreenImageChangeResult(const QVariant& value)
{
    if (applyBatchMark(value, DeviceStatusList::UploadingStandbyScreenImage))
        return;
    clearActivityIf(DeviceStatusList::UploadingStandbyScreenImage);
    int result = 0;
    if (!readInt(value, result))
        return;
    switch (result) {
    case 0:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::StandbyScreenImageUploaded);
        break;
    case 1:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::StandbyScreenImageInvalid);
        break;
    default:
        break;
    }
}

void DeviceStatus::assignStatus(DeviceStatusDisplayPriority priority, DeviceStatusList status, const QVariant& value)
{
    if (!isKnownSlot(priority))
        return;
    writeSlot(priority, status, value);
}

DeviceStatusList DeviceStatus::getStatus(DeviceStatusDisplayPriority priority) const
{
    const auto it = m_statuses.find(priority);
    return it == m_statuses.end() ? kNoStatus : it->second.first;
}

DeviceStatus::Entry DeviceStatus::getHighestPriorityStatus() const
{
    // std::map iterates keys in ascending order, i.e. most important first.
    for (const auto& [priority, entry] : m_statuses) {
        Q_UNUSED(priority)
        if (entry.first != kNoStatus)
            return entry;
    }
    return {kNoStatus, QVariant()};
}

QString DeviceStatus::getStatusMessage(const Entry& status) const
{
    const auto it = m_statusTexts.find(status.first);
    if (it == m_statusTexts.end())
        return QString();
    // Only the progress templates carry a conversion; everything else is
    // returned as is so a stray '%' could never reach the formatter.
    if (isProgressState(status.first)) {
        // Cut, not rounded: 99.9 % is not yet complete. Read as a real number
        // so that a progress given as text ("42.6") shows too. Without a
        // figure there is nothing honest to show.
        int percent = 0;
        if (!readPercent(status.second, percent))
            return QString();
        return generateStatusText(it->second, percent);
    }
    return QString::fromUtf8(it->second);
}

QString DeviceStatus::generateStatusText(const char* format, int value)
{
    if (format == nullptr)
        return QString();
    char buffer[kStatusTextBufferSize] = {};
    // snprintf truncates and always terminates; a negative return (encoding
    // error) leaves the zero-filled buffer, i.e. an empty text.
    std::snprintf(buffer, sizeof(buffer), format, value);
    return QString::fromUtf8(buffer);
}

void DeviceStatus::writeSlot(DeviceStatusDisplayPriority priority, DeviceStatusList status, const QVariant& value)
{
    m_statuses[priority] = Entry(status, value);
}

void DeviceStatus::clearSlot(DeviceStatusDisplayPriority priority)
{
    writeSlot(priority, kNoStatus);
}

void DeviceStatus::setProgress(DeviceStatusList status, const QVariant& value)
{
    // -1 means "nothing reported yet" and anything outside 0..100 is noise;
    // NaN fails both comparisons and is ignored as well.
    bool ok = false;
    const double percent = value.toDouble(&ok);
    if (!ok || !(percent >= 0.0 && percent <= 100.0))
        return;
    // The argument is kept unconverted; formatting converts it to int.
    writeSlot(DeviceStatusDisplayPriority::Activity, status, value);
}

void DeviceStatus::clearActivityIf(DeviceStatusList status)
{
    if (getStatus(DeviceStatusDisplayPriority::Activity) == status)
        clearSlot(DeviceStatusDisplayPriority::Activity);
}

bool DeviceStatus::applyBatchMark(const QVariant& value, DeviceStatusList uploading)
{
    if (value.metaType() != QMetaType::fromType<BatchMark>())
        return false;
    // Waiting and not started leave what the device does meanwhile on show.
    switch (value.value<BatchMark>()) {
    case BatchMark::Waiting:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::Waiting);
        break;
    case BatchMark::NotStarted:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::NotStarted);
        break;
    case BatchMark::Stopped:
        clearActivityIf(uploading);
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::StoppedByOperator);
        break;
    case BatchMark::NoResult:
        writeSlot(DeviceStatusDisplayPriority::Result, DeviceStatusList::NoResult);
        break;
    }
    return true;
}
