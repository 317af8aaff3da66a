#pragma once

#include "DeviceParameter.h"
#include "ResultCode.h"
#include "SettingsFields.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <utility>

namespace SettingsModelResult {

using ResultCode::Facility;
// The section is missing or not an object; or "import-result" is not an object.
inline constexpr int32_t kSectionInvalid = ResultCode::failure(Facility::SettingsModels, 0x0001);
// A requested key is not one of the model's keys.
inline constexpr int32_t kUnknownKey = ResultCode::failure(Facility::SettingsModels, 0x0002);
// A getter was asked for a value that has not been parsed.
inline constexpr int32_t kNotParsed = ResultCode::failure(Facility::SettingsModels, 0x0003);
// getAllParameters found nothing parsed.
inline constexpr int32_t kNoParameters = ResultCode::failure(Facility::SettingsModels, 0x0004);
// None of the requested keys is in the section.
inline constexpr int32_t kNoRequestedKey = ResultCode::failure(Facility::SettingsModels, 0x0005);
// The value is not a JSON string.
inline constexpr int32_t kNotString = ResultCode::failure(Facility::SettingsModels, 0x0006);
// The value is not a whole number that fits an int (or "code" is missing).
inline constexpr int32_t kNotInteger = ResultCode::failure(Facility::SettingsModels, 0x0007);

} // namespace SettingsModelResult

using SettingsParameterList = std::list<std::pair<DeviceParameter, QVariant>>;

// What the three settings models share: the walk over one section of a
// settings document (the login answer or a push "body") with one parse
// function per known key, and the report of parsed values as record
// parameters in the order of the settings field table. A model serves one
// message: construct, tryParse once, getAllParameters once, drop. Not
// thread-safe; used on one thread at a time.
class SettingsModel
{
public:
    virtual ~SettingsModel() = default;
    SettingsModel(const SettingsModel&) = delete;
    SettingsModel& operator=(const SettingsModel&) = delete;

    // Parses the requested keys of the section: 0, or the first failure
    // (kUnknownKey before the document is looked at, kSectionInvalid,
    // kNoRequestedKey, or a parse function's code; values parsed before a
    // failure stay set). Keys are parsed in the section's name order.
    int32_t tryParse(const std::list<QString>& keys);

    // Appends one (parameter, value) pair per parsed value in field table
    // order; kNoParameters when `parameters` is empty afterwards.
    int32_t getAllParameters(SettingsParameterList& parameters) const;

protected:
    using ParseFunction = std::function<int32_t(const QJsonValue&)>;

    SettingsModel(SettingsFields::Section section, const QJsonObject& source);

    // Registers the parse function of one of the section's fields.
    void addParser(SettingsFields::Field field, ParseFunction parse);

    // The parsed value of a field as its record value; false when unparsed.
    virtual bool parameterValue(SettingsFields::Field field, QVariant& value) const = 0;

    static int32_t parseString(const QJsonValue& value, std::optional<QString>& out);
    static int32_t parseInteger(const QJsonValue& value, std::optional<int>& out);

    // 0 and the value, or kNotParsed with `out` untouched.
    template <typename T, typename Out> static int32_t get(const std::optional<T>& value, Out& out)
    {
        if (!value)
            return SettingsModelResult::kNotParsed;
        out = *value;
        return ResultCode::kSuccess;
    }

private:
    SettingsFields::Section m_section;
    QHash<QString, ParseFunction> m_parsers;
    QJsonObject m_source;
};
