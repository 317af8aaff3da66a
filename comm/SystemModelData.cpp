#include "SystemModelData.h"

#include <QJsonArray>
#include <QVariantMap>

using SettingsFields::Field;

SystemModelData::SystemModelData(const QJsonObject& source)
    : SettingsModel(SettingsFields::Section::System, source)
{
    addParser(Field::Version, [this](const QJsonValue& v) { return tryParseVersion(v); });
    addParser(Field::SerialNumber, [this](const QJsonValue& v) { return tryParseSerialNumber(v); });
    addParser(Field::DeviceStatus, [this](const QJsonValue& v) { return tryParseDeviceStatus(v); });
    addParser(Field::UpgradeStatus, [this](const QJsonValue& v) { return tryParseUpgradeStatus(v); });
    addParser(Field::UpgradeResult, [this](const QJsonValue& v) { return tryParseUpgradeResult(v); });
    addParser(Field::ImportResult, [this](const QJsonValue& v) { return tryParseImportResult(v); });
}

int32_t SystemModelData::tryParseVersion(const QJsonValue& value)
{
    return parseString(value, m_version);
}

int32_t SystemModelData::tryParseSerialNumber(const QJsonValue& value)
{
    return parseString(value, m_serialNumber);
}

int32_t SystemModelData::tryParseDeviceStatus(const QJsonValue& value)
{
    return parseInteger(value, m_deviceStatus);
}

int32_t SystemModelData::tryParseUpgradeStatus(const QJsonValue& value)
{
    return parseInteger(value, m_upgradeStatus);
}

int32_t SystemModelData::tryParseUpgradeResult(const QJsonValue& value)
{
    return parseInteger(value, m_upgradeResult);
}

int32_t SystemModelData::tryParseImportResult(const QJsonValue& value)
{
    if (!value.isObject())
        return SettingsModelResult::kSectionInvalid;
    const QJsonObject object = value.toObject();
    std::optional<int> code;
    const int32_t result = parseInteger(object.value(QLatin1String("code")), code);
    if (ResultCode::isFailure(result))
        return result;
    ImportResult parsed;
    parsed.code = *code;
    // Options are texts; an element of another type is taken as its text
    // form (numbers as digits, anything else empty) rather than dropped, so
    // the list keeps the device's positions. A non-array "option" is none.
    const QJsonValue option = object.value(QLatin1String("option"));
    if (option.isArray()) {
        for (const QJsonValue element : option.toArray())
            parsed.option.append(element.isString() ? element.toString() : element.toVariant().toString());
    }
    m_importResult = std::move(parsed);
    return ResultCode::kSuccess;
}

int32_t SystemModelData::getVersion(QString& value) const
{
    return get(m_version, value);
}
int32_t SystemModelData::getVersion(QVariant& value) const
{
    return get(m_version, value);
}
int32_t SystemModelData::getSerialNumber(QString& value) const
{
    return get(m_serialNumber, value);
}
int32_t SystemModelData::getSerialNumber(QVariant& value) const
{
    return get(m_serialNumber, value);
}
int32_t SystemModelData::getDeviceStatus(int& value) const
{
    return get(m_deviceStatus, value);
}
int32_t SystemModelData::getDeviceStatus(QVariant& value) const
{
    return get(m_deviceStatus, value);
}
int32_t SystemModelData::getUpgradeStatus(int& value) const
{
    return get(m_upgradeStatus, value);
}
int32_t SystemModelData::getUpgradeStatus(QVariant& value) const
{
    return get(m_upgradeStatus, value);
}
int32_t SystemModelData::getUpgradeResult(int& value) const
{
    return get(m_upgradeResult, value);
}
int32_t SystemModelData::getUpgradeResult(QVariant& value) const
{
    return get(m_upgradeResult, value);
}
int32_t SystemModelData::getImportResult(ImportResult& value) const
{
    return get(m_importResult, value);
}

int32_t SystemModelData::getImportResult(QVariant& value) const
{
    if (!m_importResult)
        return SettingsModelResult::kNotParsed;
    value = QVariantMap{{QStringLiteral("code"), m_importResult->code},
                        {QStringLiteral("option"), m_importResult->option}};
    return ResultCode::kSuccess;
}

bool SystemModelData::parameterValue(Field field, QVariant& value) const
{
    switch (field) {
    case Field::Version:
        return ResultCode::isSuccess(getVersion(value));
    case Field::SerialNumber:
        return ResultCode::isSuccess(getSerialNumber(value));
    case Field::DeviceStatus:
        return ResultCode::isSuccess(getDeviceStatus(value));
    case Field::UpgradeStatus:
        return ResultCode::isSuccess(getUpgradeStatus(value));
    case Field::UpgradeResult:
        return ResultCode::isSuccess(getUpgradeResult(value));
    case Field::ImportResult:
        // The record keeps the code only.
        if (!m_importResult)
            return false;
        value = m_importResult->code;
        return true;
    default:
        return false;
    }
}
