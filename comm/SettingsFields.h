#pragma once

#include "DeviceParameter.h"

#include <QString>

#include <array>
#include <list>

// The one map between a device's settings document and the device record:
// which section a key lives in, what JSON type it carries and which
// DeviceParameter it feeds. The settings models, login and the push
// subscriber all read their keys from here, so a key is spelled once.
namespace SettingsFields {

enum class Section : int { System, Display, Network };

// One member per known key, in the order in which pairs are reported.
enum class Field : int {
    Version,
    SerialNumber,
    DeviceStatus,
    UpgradeStatus,
    UpgradeResult,
    ImportResult,
    UploadIdleImageValid,
    Subnet,
    Gateway,
    Dns1,
    Dns2,
};

// JSON type of a key: a string, a whole number that fits an int, or the
// import-result object {"code": int, "option": [string, ...]}.
enum class Kind : int { String, Integer, ImportResult };

struct Entry
{
    Field field;
    Section section;
    const char* key;
    Kind kind;
    DeviceParameter parameter;
};

inline constexpr std::array<Entry, 11> kTable{{
    {Field::Version, Section::System, "base-ver", Kind::String, DeviceParameter::Version},
    {Field::SerialNumber, Section::System, "base-sernum", Kind::String, DeviceParameter::SerialNumber},
    {Field::DeviceStatus, Section::System, "device-status", Kind::Integer, DeviceParameter::RunningStatus},
    {Field::UpgradeStatus, Section::System, "upgrade-status", Kind::Integer, DeviceParameter::UpdateProgress},
    {Field::UpgradeResult, Section::System, "upgrade-result", Kind::Integer, DeviceParameter::UpdateResult},
    {Field::ImportResult, Section::System, "import-result", Kind::ImportResult, DeviceParameter::ImportResult},
    {Field::UploadIdleImageValid, Section::Display, "upload-idle-image-valid", Kind::Integer,
     DeviceParameter::StandbyImageResult},
    {Field::Subnet, Section::Network, "ipv4-subnet", Kind::String, DeviceParameter::SubnetMask},
    {Field::Gateway, Section::Network, "ipv4-gateway", Kind::String, DeviceParameter::DefaultGateway},
    {Field::Dns1, Section::Network, "ipv4-dns1", Kind::String, DeviceParameter::DnsServer1},
    {Field::Dns2, Section::Network, "ipv4-dns2", Kind::String, DeviceParameter::DnsServer2},
}};

// The entry of a field (the table is indexed by the field's number).
constexpr const Entry& entry(Field field)
{
    return kTable[static_cast<std::size_t>(field)];
}

// "sys", "display" or "net".
constexpr const char* sectionName(Section section)
{
    switch (section) {
    case Section::System:
        return "sys";
    case Section::Display:
        return "display";
    case Section::Network:
        return "net";
    }
    return "";
}

inline QString sectionKey(Section section)
{
    return QString::fromLatin1(sectionName(section));
}

inline QString keyOf(Field field)
{
    return QString::fromLatin1(entry(field).key);
}

// The field of `key` within `section`; false (field untouched) for a key the
// section does not know.
bool findField(Section section, const QString& key, Field& field);

// The keys of a section in table order.
std::list<QString> keysOf(Section section);

} // namespace SettingsFields
