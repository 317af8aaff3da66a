#pragma once

#include "SettingsModel.h"

// The "net" section: the device's IPv4 settings.
class NetworkModelData : public SettingsModel
{
public:
    explicit NetworkModelData(const QJsonObject& source);

    // 0, or kNotParsed with the out argument untouched.
    int32_t getSubnet(QString& value) const;
    int32_t getSubnet(QVariant& value) const;
    int32_t getGateway(QString& value) const;
    int32_t getGateway(QVariant& value) const;
    int32_t getDns1(QString& value) const;
    int32_t getDns1(QVariant& value) const;
    int32_t getDns2(QString& value) const;
    int32_t getDns2(QVariant& value) const;

protected:
    bool parameterValue(SettingsFields::Field field, QVariant& value) const override;

private:
    int32_t tryParseSubnet(const QJsonValue& value);
    int32_t tryParseGateway(const QJsonValue& value);
    int32_t tryParseDns1(const QJsonValue& value);
    int32_t tryParseDns2(const QJsonValue& value);

    std::optional<QString> m_subnet;
    std::optional<QString> m_gateway;
    std::optional<QString> m_dns1;
    std::optional<QString> m_dns2;
};
