#include "SettingsModel.h"

#include <algorithm>
#include <limits>

SettingsModel::SettingsModel(SettingsFields::Section section, const QJsonObject& source)
    : m_section(section)
    , m_source(source)
{
}

void SettingsModel::addParser(SettingsFields::Field field, ParseFunction parse)
{
    m_parsers.insert(SettingsFields::keyOf(field), std::move(parse));
}

int32_t SettingsModel::tryParse(const std::list<QString>& keys)
{
    for (const QString& key : keys) {
        if (!m_parsers.contains(key))
            return SettingsModelResult::kUnknownKey;
    }
    const QJsonValue sectionValue = m_source.value(SettingsFields::sectionKey(m_section));
    if (!sectionValue.isObject())
        return SettingsModelResult::kSectionInvalid;
    const QJsonObject section = sectionValue.toObject();

    // QJsonObject lists its members by name, so the walk order is the
    // device's document order only by coincidence; it is always name order.
    bool any = false;
    for (auto it = section.constBegin(); it != section.constEnd(); ++it) {
        const QString name = it.key();
        if (std::find(keys.begin(), keys.end(), name) == keys.end())
            continue;
        any = true;
        const int32_t result = m_parsers.value(name)(it.value());
        if (ResultCode::isFailure(result))
            return result;
    }
    return any ? ResultCode::kSuccess : SettingsModelResult::kNoRequestedKey;
}

int32_t SettingsModel::getAllParameters(SettingsParameterList& parameters) const
{
    for (const SettingsFields::Entry& entry : SettingsFields::kTable) {
        if (entry.section != m_section)
            continue;
        QVariant value;
        if (parameterValue(entry.field, value))
            parameters.emplace_back(entry.parameter, value);
    }
    return parameters.empty() ? SettingsModelResult::kNoParameters : ResultCode::kSuccess;
}

int32_t SettingsModel::parseString(const QJsonValue& value, std::optional<QString>& out)
{
    if (!value.isString())
        return SettingsModelResult::kNotString;
    out = value.toString();
    return ResultCode::kSuccess;
}

int32_t SettingsModel::parseInteger(const QJsonValue& value, std::optional<int>& out)
{
    // The smallest int doubles as "not a whole int": fractions, strings,
    // booleans, null, out-of-range numbers and that number itself all fail.
    constexpr int kFallback = std::numeric_limits<int>::min();
    const int number = value.toInt(kFallback);
    if (number == kFallback)
        return SettingsModelResult::kNotInteger;
    out = number;
    return ResultCode::kSuccess;
}
