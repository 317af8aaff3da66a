#include "NetworkModelData.h"

using SettingsFields::Field;

NetworkModelData::NetworkModelData(const QJsonObject& source)
    : SettingsModel(SettingsFields::Section::Network, source)
{
    addParser(Field::Subnet, [this](const QJsonValue& v) { return tryParseSubnet(v); });
    addParser(Field::Gateway, [this](const QJsonValue& v) { return tryParseGateway(v); });
    addParser(Field::Dns1, [this](const QJsonValue& v) { return tryParseDns1(v); });
    addParser(Field::Dns2, [this](const QJsonValue& v) { return tryParseDns2(v); });
}

int32_t NetworkModelData::tryParseSubnet(const QJsonValue& value)
{
    return parseString(value, m_subnet);
}
int32_t NetworkModelData::tryParseGateway(const QJsonValue& value)
{
    return parseString(value, m_gateway);
}
int32_t NetworkModelData::tryParseDns1(const QJsonValue& value)
{
    return parseString(value, m_dns1);
}
int32_t NetworkModelData::tryParseDns2(const QJsonValue& value)
{
    return parseString(value, m_dns2);
}

int32_t NetworkModelData::getSubnet(QString& value) const
{
    return get(m_subnet, value);
}
int32_t NetworkModelData::getSubnet(QVariant& value) const
{
    return get(m_subnet, value);
}
int32_t NetworkModelData::getGateway(QString& value) const
{
    return get(m_gateway, value);
}
int32_t NetworkModelData::getGateway(QVariant& value) const
{
    return get(m_gateway, value);
}
int32_t NetworkModelData::getDns1(QString& value) const
{
    return get(m_dns1, value);
}
int32_t NetworkModelData::getDns1(QVariant& value) const
{
    return get(m_dns1, value);
}
int32_t NetworkModelData::getDns2(QString& value) const
{
    return get(m_dns2, value);
}
int32_t NetworkModelData::getDns2(QVariant& value) const
{
    return get(m_dns2, value);
}

bool NetworkModelData::parameterValue(Field field, QVariant& value) const
{
    switch (field) {
    case Field::Subnet:
        return ResultCode::isSuccess(getSubnet(value));
    case Field::Gateway:
        return ResultCode::isSuccess(getGateway(value));
    case Field::Dns1:
        return ResultCode::isSuccess(getDns1(value));
    case Field::Dns2:
        return ResultCode::isSuccess(getDns2(value));
    default:
        return false;
    }
}
