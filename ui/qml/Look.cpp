#include "Look.h"

#include "Logger.h"

#include <QColor>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QQuickStyle>

#include <utility>

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
    // The desktop's palette may change while the program runs (a switch to
    // dark): the application hears of it.
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->installEventFilter(this);
}

QVariantMap DesktopLook::colours() const
{
    static const std::pair<const char*, QPalette::ColorRole> roles[] = {
        {"window", QPalette::Window},
        {"windowText", QPalette::WindowText},
        {"base", QPalette::Base},
        {"alternateBase", QPalette::AlternateBase},
        {"text", QPalette::Text},
        {"button", QPalette::Button},
        {"buttonText", QPalette::ButtonText},
        {"brightText", QPalette::BrightText},
        {"highlight", QPalette::Highlight},
        {"highlightedText", QPalette::HighlightedText},
        {"placeholderText", QPalette::PlaceholderText},
        {"toolTipBase", QPalette::ToolTipBase},
        {"toolTipText", QPalette::ToolTipText},
        {"light", QPalette::Light},
        {"midlight", QPalette::Midlight},
        {"mid", QPalette::Mid},
        {"dark", QPalette::Dark},
        {"shadow", QPalette::Shadow},
        {"link", QPalette::Link},
    };
    const QPalette palette = QGuiApplication::palette();
    QVariantMap colours;
    for (const auto& [name, role] : roles)
        colours.insert(QLatin1String(name), palette.color(QPalette::Active, role));
    return colours;
}

bool DesktopLook::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::ApplicationPaletteChange)
        Q_EMIT coloursChanged();
    return QObject::eventFilter(watched, event);
}

bool DesktopLook::highContrastWanted()
{
    const QByteArray own = qgetenv("CORVANE_HIGH_CONTRAST");
    if (!own.isEmpty())
        return own != "0";
    return qEnvironmentVariable("GTK_THEME").contains(QLatin1String("HighContrast"), Qt::CaseInsensitive);
}
