#pragma once

#include "SettingsModel.h"

#include <QStringList>

// The "sys" section: versions, running state, firmware update and
// configuration import.
class SystemModelData : public SettingsModel
{
public:
    struct ImportResult
    {
        int code = 0;
        QStringList option; // empty when the device sent none
    };

    explicit SystemModelData(const QJsonObject& source);

    // 0, or kNotParsed with the out argument untouched.
    int32_t getVersion(QString& value) const;
    int32_t getVersion(QVariant& value) const;
    int32_t getSerialNumber(QString& value) const;
    int32_t getSerialNumber(QVariant& value) const;
    int32_t getDeviceStatus(int& value) const;
    int32_t getDeviceStatus(QVariant& value) const;
    int32_t getUpgradeStatus(int& value) const;
    int32_t getUpgradeStatus(QVariant& value) const;
    int32_t getUpgradeResult(int& value) const;
    int32_t getUpgradeResult(QVariant& value) const;
    int32_t getImportResult(ImportResult& value) const;
    // A map "code" -> int, "option" -> QStringList.
    int32_t getImportResult(QVariant& value) const;

protected:
    bool parameterValue(SettingsFields::Field field, QVariant& value) const override;

private:
    int32_t tryParseVersion(const QJsonValue& value);
    int32_t tryParseSerialNumber(const QJsonValue& value);
    int32_t tryParseDeviceStatus(const QJsonValue& value);
    int32_t tryParseUpgradeStatus(const QJsonValue& value);
    int32_t tryParseUpgradeResult(const QJsonValue& value);
    int32_t tryParseImportResult(const QJsonValue& value);

    std::optional<QString> m_version;
    std::optional<QString> m_serialNumber;
    std::optional<int> m_deviceStatus;
    std::optional<int> m_upgradeStatus;
    std::optional<int> m_upgradeResult;
    std::optional<ImportResult> m_importResult;
};
