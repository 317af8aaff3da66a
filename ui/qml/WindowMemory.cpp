#include "WindowMemory.h"

#include "Logger.h"

#include <QSettings>

namespace {

// Far beyond any screen: a larger value is a damaged file, not a size.
constexpr int kLargestSide = 100000;
// Interface names are short (IFNAMSIZ, a Windows adapter's name); a longer
// value is not one.
constexpr int kLongestInterfaceName = 256;

QSettings settings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(WindowMemory::kOrganisation),
                     QLatin1String(WindowMemory::kApplication));
}

int side(const QSettings& store, const char* key)
{
    bool ok = false;
    const int value = store.value(QLatin1String(key)).toInt(&ok);
    return ok && value > 0 && value <= kLargestSide ? value : 0;
}

void written(QSettings& store)
{
    store.sync();
    if (store.status() != QSettings::NoError)
        CORVANE_LOG(QStringLiteral("cannot keep the window's settings in %1").arg(store.fileName()));
}

} // namespace

WindowMemory::WindowMemory(QObject* parent)
    : QObject(parent)
{
    const QSettings store = settings();
    m_width = side(store, "window/width");
    m_height = side(store, "window/height");
    m_maximized = store.value(QStringLiteral("window/maximized")).toBool();
    const QString name = store.value(QStringLiteral("network/interface")).toString();
    if (name.size() <= kLongestInterfaceName)
        m_networkInterface = name;
}

void WindowMemory::saveWindow(int width, int height, bool maximized)
{
    QSettings store = settings();
    if (width > 0 && height > 0) {
        store.setValue(QStringLiteral("window/width"), width);
        store.setValue(QStringLiteral("window/height"), height);
    }
    store.setValue(QStringLiteral("window/maximized"), maximized);
    written(store);
}

void WindowMemory::saveNetworkInterface(const QString& name)
{
    QSettings store = settings();
    store.setValue(QStringLiteral("network/interface"), name);
    written(store);
}
