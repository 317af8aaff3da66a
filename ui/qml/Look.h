#pragma once

#include <QObject>
#include <QVariantMap>

// How the window looks whatever the desktop asks for: the program's own
// Quick Controls style, and what the desktop tells of contrast. Colours
// themselves follow the desktop's palette in the views (view/Look.qml).
namespace Views {

// The name of the style the views are drawn in: Fusion takes its palette
// from the desktop (Basic has a fixed light one of its own), and draws
// nothing of the views' own buttons and popups.
inline constexpr const char* kStyle = "Fusion";

// Chooses the views' style before any QML is loaded, over a desktop's
// QT_QUICK_CONTROLS_STYLE: the views draw their own buttons and popups to
// fixed sizes, and a style with insets or its own popup backgrounds (e.g.
// Material) would collapse the one and hide the other.
void chooseStyle();

} // namespace Views

// What the desktop tells of its look (the QML singleton DesktopLook): the
// colours of its palette by the names of the QML palette's roles, which the
// window passes on to its own palette (in Qt 6.4 the Quick Controls styles
// keep a fixed light palette of their own), and whether it asks for high
// contrast. Qt 6.4 says nothing of a high-contrast setting, so that is read
// from the environment: CORVANE_HIGH_CONTRAST=1 (or 0 to override), else a
// GTK_THEME naming a high-contrast theme, as GNOME's own do.
class DesktopLook : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap colours READ colours NOTIFY coloursChanged)
    Q_PROPERTY(bool highContrast READ highContrast CONSTANT)

public:
    explicit DesktopLook(QObject* parent = nullptr);

    QVariantMap colours() const;
    bool highContrast() const { return m_highContrast; }

    static bool highContrastWanted();

Q_SIGNALS:
    void coloursChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_highContrast;
};
