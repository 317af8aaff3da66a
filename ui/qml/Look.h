#pragma once

#include <QObject>

// How the window looks whatever the desktop asks for: the program's own
// Quick Controls style, and what the desktop tells of contrast. Colours
// themselves follow the desktop's palette in the views (view/Look.qml).
namespace Views {

// The name of the style the views are drawn in.
inline constexpr const char* kStyle = "Basic";

// Chooses the views' style before any QML is loaded, over a desktop's
// QT_QUICK_CONTROLS_STYLE: the views draw their own buttons and popups to
// fixed sizes, and a style with insets or its own popup backgrounds (e.g.
// Material) would collapse the one and hide the other.
void chooseStyle();

} // namespace Views

// What the desktop tells of its look beyond the palette (the QML singleton
// DesktopLook). Qt 6.4 says nothing of a high-contrast setting, so it is
// read from the environment: CORVANE_HIGH_CONTRAST=1 (or 0 to override), else
// a GTK_THEME naming a high-contrast theme, as GNOME's own do.
class DesktopLook : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool highContrast READ highContrast CONSTANT)

public:
    explicit DesktopLook(QObject* parent = nullptr);

    bool highContrast() const { return m_highContrast; }

    static bool highContrastWanted();

private:
    bool m_highContrast;
};
