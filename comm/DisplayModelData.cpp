#include "DisplayModelData.h"

using SettingsFields::Field;

DisplayModelData::DisplayModelData(const QJsonObject& source)
    : SettingsModel(SettingsFields::Section::Display, source)
{
    addParser(Field::UploadIdleImageValid, [this](const QJsonValue& v) { return tryParseUploadIdleImageValid(v); });
}

int32_t DisplayModelData::tryParseUploadIdleImageValid(const QJsonValue& value)
{
    return parseInteger(value, m_uploadIdleImageValid);
}

int32_t DisplayModelData::getUploadIdleImageValid(int& value) const
{
    return get(m_uploadIdleImageValid, value);
}
int32_t DisplayModelData::getUploadIdleImageValid(QVariant& value) const
{
    return get(m_uploadIdleImageValid, value);
}

bool DisplayModelData::parameterValue(Field field, QVariant& value) const
{
    return field == Field::UploadIdleImageValid && ResultCode::isSuccess(getUploadIdleImageValid(value));
}
