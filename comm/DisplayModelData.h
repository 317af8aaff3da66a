#pragma once

#include "SettingsModel.h"

// The "display" section: the state of the standby-screen image.
class DisplayModelData : public SettingsModel
{
public:
    explicit DisplayModelData(const QJsonObject& source);

    // 0, or kNotParsed with the out argument untouched.
    int32_t getUploadIdleImageValid(int& value) const;
    int32_t getUploadIdleImageValid(QVariant& value) const;

protected:
    bool parameterValue(SettingsFields::Field field, QVariant& value) const override;

private:
    int32_t tryParseUploadIdleImageValid(const QJsonValue& value);

    std::optional<int> m_uploadIdleImageValid;
};
