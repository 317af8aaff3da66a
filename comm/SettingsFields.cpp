#include "SettingsFields.h"

namespace SettingsFields {

// The table's order is the fields' order; entry() relies on it.
static_assert([] {
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        if (static_cast<std::size_t>(kTable[i].field) != i)
            return false;
    }
    return true;
}());

bool findField(Section section, const QString& key, Field& field)
{
    for (const Entry& e : kTable) {
        if (e.section == section && key == QLatin1String(e.key)) {
            field = e.field;
            return true;
        }
    }
    return false;
}

std::list<QString> keysOf(Section section)
{
    std::list<QString> keys;
    for (const Entry& e : kTable) {
        if (e.section == section)
            keys.push_back(QString::fromLatin1(e.key));
    }
    return keys;
}

} // namespace SettingsFields
