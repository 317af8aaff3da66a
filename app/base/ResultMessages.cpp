#include "ResultMessages.h"

#include "ResultCode.h"

#include <QHash>

namespace ResultMessages {

namespace {

using ResultCode::Facility;

constexpr quint32 code(Facility facility, uint16_t detail)
{
    return static_cast<quint32>(ResultCode::failure(facility, detail));
}

struct Tables
{
    const QString defaultMessage = QStringLiteral("Unknown error.");
    QHash<quint32, QString> byCode;
    QHash<quint32, QString> byFacility;

    Tables()
    {
        const QString fileOpenError = QStringLiteral("File open error.");
        const QString networkError = QStringLiteral("Network error.");
        byCode = {
            {code(Facility::Login, 0x0001), QStringLiteral("Invalid password, please retry.")},
            {code(Facility::HttpAccess, 0x01FE),
             QStringLiteral("Identity changed: the device shows another key than the one it showed before. "
                            "Nothing was sent to it.")},
            {code(Facility::HttpAccess, 0x01FF),
             QStringLiteral("The store of known devices cannot be used (see the log): no device's key can be "
                            "checked, and nothing was sent.")},
            {code(Facility::FirmwareUpdate, 0x0001), fileOpenError},
            {code(Facility::FirmwareUpdate, 0x0002), QStringLiteral("Firmware update was skipped. Device is busy.")},
            {code(Facility::FirmwareUpdate, 0x0003),
             QStringLiteral("Firmware update was skipped. Device is disconnected.")},
            {code(Facility::FirmwareUpdate, 0x0004), networkError},
            {code(Facility::ConfigurationImport, 0x0001), fileOpenError},
            {code(Facility::ConfigurationImport, 0x0002),
             QStringLiteral("Import configuration was skipped. Device is busy.")},
            {code(Facility::ConfigurationImport, 0x0003),
             QStringLiteral("Import configuration was skipped. Device is disconnected.")},
            {code(Facility::ConfigurationImport, 0x0004), networkError},
            {code(Facility::StandbyScreenImage, 0x0001), fileOpenError},
            {code(Facility::StandbyScreenImage, 0x0002),
             QStringLiteral("Change stand-by screen image was skipped. Device is busy.")},
            {code(Facility::StandbyScreenImage, 0x0003),
             QStringLiteral("Change stand-by screen image was skipped. Device is disconnected.")},
            {code(Facility::StandbyScreenImage, 0x0004), networkError},
        };
        byFacility = {
            {quint32(Facility::HttpAccess), networkError},
            {quint32(Facility::SettingsModels), QStringLiteral("Received invalid data from Vel device.")},
            {quint32(Facility::FileUploader), QStringLiteral("Upload error.")},
            {quint32(Facility::FirmwareUpdate), QStringLiteral("Firmware update error.")},
            {quint32(Facility::StandbyScreenImage), QStringLiteral("Standby screen image change error.")},
            {quint32(Facility::ConfigurationImport), QStringLiteral("Import configuration error.")},
            {quint32(Facility::WebSocketClient), networkError},
            {quint32(Facility::PushSession), networkError},
            {quint32(Facility::MultiPartBody), defaultMessage},
            {quint32(Facility::Login), networkError},
        };
    }
};

} // namespace

QString text(quint32 errorCode)
{
    static const Tables tables;
    if (const auto it = tables.byCode.constFind(errorCode); it != tables.byCode.cend())
        return *it;
    // The facility alone; bit 31 is not looked at.
    const quint32 facility = (errorCode >> 16) & 0x7FFF;
    if (const auto it = tables.byFacility.constFind(facility); it != tables.byFacility.cend())
        return *it;
    return tables.defaultMessage;
}

} // namespace ResultMessages
