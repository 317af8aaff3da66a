#pragma once

#include <QString>
#include <QVariant>

#include <map>
#include <utility>

// States the "Status" column can show, each with a fixed English template.
enum class DeviceStatusList : int {
    Blank = 0,
    LoginRequired = 1,
    Disconnected = 2,
    Busy = 3,
    InCall = 4,
    UploadingFirmware = 5,
    UpdatingFirmware = 6,
    UploadingConfiguration = 7,
    ImportProcessing = 8,
    UploadingStandbyScreenImage = 9,
    ChangingStandbyScreenImage = 10,
    UpdateSuccessful = 11,
    UpdateFailed = 12,
    UpdateSkipped = 13,
    ImportSuccessful = 14,
    ImportFailed = 15,
    StandbyScreenImageUploaded = 16,
    StandbyScreenImageInvalid = 17,
    Ready = 18,
    IdentityChanged = 19,
    AddressShared = 20,
    // A batch's own word on its devices, in the result slot: the device is
    // in the batch but its turn has not come, the batch was stopped before
    // its turn, the operator ended its upload, or it took the file and never
    // reported its result.
    Waiting = 21,
    NotStarted = 22,
    StoppedByOperator = 23,
    NoResult = 24,
};

// What a batch writes into an operation's result parameter for a device it
// holds, in place of the device's own result (a value a device cannot push:
// it arrives as a number). It supersedes the previous batch's result.
enum class BatchMark : int {
    Waiting = 0,
    NotStarted = 1,
    Stopped = 2,
    NoResult = 3,
};
Q_DECLARE_METATYPE(BatchMark)

// Marks an empty slot (and the answer for a slot that does not exist). Kept
// out of the enum so that the enum lists only displayable states.
inline constexpr DeviceStatusList kNoStatus = static_cast<DeviceStatusList>(-1);

// The four slots of the board; a smaller number is more important.
enum class DeviceStatusDisplayPriority : int {
    Connection = 0, // connection and login problems
    Activity = 1, // running state and progress of an operation
    Result = 2, // result of the last operation
    Idle = 3, // always Ready
};

// Selects the setter that DeviceStatus::setStatus dispatches to.
enum class DeviceStatusType : int {
    Connection = 0,
    LoggedIn = 1,
    Running = 2,
    FirmwareUploadProgress = 3,
    FirmwareUpdateProgress = 4,
    FirmwareUpdateResult = 5,
    ConfigUploadProgress = 6,
    ConfigImportResult = 7,
    StandbyScreenImageUploadProgress = 8,
    StandbyScreenImageChangeResult = 9,
    IdentityChanged = 10,
    AddressShared = 11,
};

// Per-device status board: four priority slots of (state, value), the most
// important non-empty one being what the operator sees. The value is the
// progress figure for the progress states and an invalid QVariant otherwise.
//
// No lock of its own: the owning record's callers serialise access.
class DeviceStatus
{
public:
    using Entry = std::pair<DeviceStatusList, QVariant>;

    DeviceStatus();

    // Dispatches to the setter of `type`; unknown types are ignored.
    void setStatus(DeviceStatusType type, const QVariant& value);

    // Every setter converts its argument (to int, bool or double) and
    // ignores values it has no rule for.
    void setConnectionStatus(const QVariant& value);
    void setLoggedInStatus(const QVariant& value);
    void setRunningStatus(const QVariant& value);
    void setFirmwareUploadProgress(const QVariant& value);
    void setFirmwareUpdateProgress(const QVariant& value);
    void setConfigUploadProgress(const QVariant& value);
    void setStandbyScreenImageUploadProgress(const QVariant& value);
    void setFirmwareUpdateResult(const QVariant& value);
    void setConfigImportResult(const QVariant& value);
    void setStandbyScreenImageChangeResult(const QVariant& value);
    // True: the connection slot says so until a login succeeds; false: back
    // to "Login required".
    void setIdentityChanged(const QVariant& value);
    // True: a device not logged in reads "Address shared" rather than "Login
    // required" (a changed identity outweighs it), for as long as it holds.
    void setAddressShared(const QVariant& value);

    // Writes a slot without any rule; a priority outside the four slots is
    // ignored so that the board always has exactly four.
    void assignStatus(DeviceStatusDisplayPriority priority, DeviceStatusList status, const QVariant& value);

    // kNoStatus for an empty slot or one that does not exist.
    DeviceStatusList getStatus(DeviceStatusDisplayPriority priority) const;

    // First non-empty slot in priority order, or (kNoStatus, invalid).
    Entry getHighestPriorityStatus() const;

    // Text of an entry: progress states are formatted with the value cut to
    // a whole percent and held to 0..100 (a value that is no finite number
    // gives ""), others give their template; a state without template gives "".
    QString getStatusMessage(const Entry& status) const;

    // Formats `format` (which must consume exactly one int) into a bounded
    // 256-byte buffer and decodes the result as UTF-8; longer output is cut.
    static QString generateStatusText(const char* format, int value);

private:
    void writeSlot(DeviceStatusDisplayPriority priority, DeviceStatusList status, const QVariant& value = QVariant());
    void clearSlot(DeviceStatusDisplayPriority priority);
    void setProgress(DeviceStatusList status, const QVariant& value);
    // Result setters first drop the progress of the operation they conclude.
    void clearActivityIf(DeviceStatusList status);
    // A batch's mark given to a result setter: written into the result slot
    // (a stop also ends the upload's progress `uploading`); false for any
    // other value.
    bool applyBatchMark(const QVariant& value, DeviceStatusList uploading);

    std::map<DeviceStatusList, const char*> m_statusTexts;
    std::map<DeviceStatusDisplayPriority, Entry> m_statuses;
    bool m_addressShared = false;
    // What a device not logged in reads: "Login required", or "Address
    // shared" while another device claims its address.
    DeviceStatusList loginState() const
    {
        return m_addressShared ? DeviceStatusList::AddressShared : DeviceStatusList::LoginRequired;
    }
};
