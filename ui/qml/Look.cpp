#include "Look.h"

#include "Logger.h"

#include <QQuickStyle>

namespace Views {

void chooseStyle()
{
    const QString asked = qEnvironmentVariable("QT_QUICK_CONTROLS_STYLE");
    if (!asked.isEmpty() && asked != QLatin1String(kStyle))
        CORVANE_LOG(QStringLiteral("the desktop's style %1 is not used; the views draw in %2")
                        .arg(asked, QLatin1String(kStyle)));
    QQuickStyle::setStyle(QLatin1String(kStyle));
}

} // namespace Views

DesktopLook::DesktopLook(QObject* parent)
    : QObject(parent)
    , m_highContrast(highContrastWanted())
{
}

bool DesktopLook::highContrastWanted()
{
    const QByteArray own = qgetenv("CORVANE_HIGH_CONTRAST");
    if (!own.isEmpty())
        return own != "0";
    return qEnvironmentVariable("GTK_THEME").contains(QLatin1String("HighContrast"), Qt::CaseInsensitive);
}
