// libFuzzer target: arbitrary bytes through the three settings models, once
// as a whole settings document and once as the value of each section, with a
// key list chosen by the first byte. Checks the invariants every input must
// keep (built with ASan and UBSan as well).
#include "DisplayModelData.h"
#include "NetworkModelData.h"
#include "SettingsFields.h"
#include "SystemModelData.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <limits>
#include <memory>

namespace {

void require(bool ok)
{
    if (!ok)
        abort();
}

bool isModelCode(int32_t code)
{
    return code == ResultCode::kSuccess || code == SettingsModelResult::kSectionInvalid
           || code == SettingsModelResult::kUnknownKey || code == SettingsModelResult::kNoRequestedKey
           || code == SettingsModelResult::kNotString || code == SettingsModelResult::kNotInteger;
}

std::unique_ptr<SettingsModel> makeModel(SettingsFields::Section section, const QJsonObject& source)
{
    switch (section) {
    case SettingsFields::Section::System:
        return std::make_unique<SystemModelData>(source);
    case SettingsFields::Section::Display:
        return std::make_unique<DisplayModelData>(source);
    case SettingsFields::Section::Network:
        break;
    }
    return std::make_unique<NetworkModelData>(source);
}

// Bit i of the selector keeps the section's i-th key; bit 7 adds a key the
// model does not know.
void run(SettingsFields::Section section, const QJsonObject& source, uint8_t selector)
{
    std::list<QString> keys;
    int bit = 0;
    for (const QString& key : SettingsFields::keysOf(section)) {
        if (selector & (1u << bit++))
            keys.push_back(key);
    }
    const bool foreign = selector & 0x80u;
    if (foreign)
        keys.push_back(QStringLiteral("mac-address"));

    std::unique_ptr<SettingsModel> model = makeModel(section, source);
    const int32_t result = model->tryParse(keys);
    require(isModelCode(result));
    if (foreign)
        require(result == SettingsModelResult::kUnknownKey);

    SettingsParameterList pairs;
    const int32_t all = model->getAllParameters(pairs);
    require(all == (pairs.empty() ? SettingsModelResult::kNoParameters : ResultCode::kSuccess));
    require(pairs.size() <= keys.size());
    if (result == ResultCode::kSuccess)
        require(!pairs.empty());
    // These end the call before any value is parsed.
    if (result == SettingsModelResult::kUnknownKey || result == SettingsModelResult::kNoRequestedKey)
        require(pairs.empty());

    // Every pair is a parameter of this section, in table order, of the
    // table's type.
    auto entry = SettingsFields::kTable.begin();
    for (const auto& [parameter, value] : pairs) {
        while (entry != SettingsFields::kTable.end() && entry->parameter != parameter)
            ++entry;
        require(entry != SettingsFields::kTable.end());
        require(entry->section == section);
        require(value.typeId() == (entry->kind == SettingsFields::Kind::String ? QMetaType::QString : QMetaType::Int));
        if (entry->kind != SettingsFields::Kind::String)
            require(value.toInt() != std::numeric_limits<int>::min());
        ++entry;
    }
}

const SettingsFields::Section kSections[]
    = {SettingsFields::Section::System, SettingsFields::Section::Display, SettingsFields::Section::Network};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 64 * 1024)
        return 0;
    const uint8_t selector = data[0];
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    // The bytes as the whole document (the login answer, a push body).
    const QJsonObject document = QJsonDocument::fromJson(bytes).object();
    for (const SettingsFields::Section section : kSections)
        run(section, document, selector);

    // The bytes as the value of one section, whatever JSON type they are.
    const QJsonObject wrapper = QJsonDocument::fromJson("{\"v\":" + bytes + "}").object();
    if (wrapper.contains(QLatin1String("v"))) {
        for (const SettingsFields::Section section : kSections) {
            const QJsonObject source{{SettingsFields::sectionKey(section), wrapper.value(QLatin1String("v"))}};
            run(section, source, selector);
        }
    }
    return 0;
}
