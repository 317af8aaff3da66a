#include "UserInterface.h"

#include "ResultCode.h"

#include <QMetaType>

namespace UserInterface {

namespace {

using ResultCode::Facility;

constexpr quint32 code(Facility facility, uint16_t detail)
{
    return static_cast<quint32>(ResultCode::failure(facility, detail));
}

quint32 toCode(const QVariant& value)
{
    if (value.metaType().id() == QMetaType::UInt)
        return value.toUInt();
    bool ok = false;
    const quint32 converted = value.toUInt(&ok);
    return ok ? converted : 0;
}

} // namespace

MessageGenerator::MessageGenerator(QObject* parent)
    : QObject(parent)
    , m_defaultMessage(QStringLiteral("Unknown error."))
{
    const QString fileOpenError = QStringLiteral("File open error.");
    const QString networkError = QStringLiteral("Network error.");

    m_codeMessages = {
        {code(Facility::Login, 0x0001), QStringLiteral("Invalid password, please retry.")},
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

    m_facilityMessages = {
        {quint32(Facility::HttpAccess), networkError},
        {quint32(Facility::SettingsModels), QStringLiteral("Received invalid data from Vel device.")},
        {quint32(Facility::FileUploader), QStringLiteral("Upload error.")},
        {quint32(Facility::FirmwareUpdate), QStringLiteral("Firmware update error.")},
        {quint32(Facility::StandbyScreenImage), QStringLiteral("Standby screen image change error.")},
        {quint32(Facility::ConfigurationImport), QStringLiteral("Import configuration error.")},
        {quint32(Facility::WebSocketClient), networkError},
        {quint32(Facility::PushSession), networkError},
        {quint32(Facility::MultiPartBody), m_defaultMessage},
        {quint32(Facility::Login), networkError},
    };
}

QString MessageGenerator::generate(const QVariantMap& option) const
{
    const quint32 errorCode = toCode(option.value(QStringLiteral("errorCode")));
    if (const auto it = m_codeMessages.constFind(errorCode); it != m_codeMessages.cend())
        return *it;
    // The facility alone; bit 31 is not looked at.
    const quint32 facility = (errorCode >> 16) & 0x7FFF;
    if (const auto it = m_facilityMessages.constFind(facility); it != m_facilityMessages.cend())
        return *it;
    return m_defaultMessage;
}

} // namespace UserInterface
