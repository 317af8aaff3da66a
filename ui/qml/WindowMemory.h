#pragma once

#include <QObject>
#include <QString>

// What the window remembers from one start to the next: its size, whether it
// was maximised, and the network interface last chosen. Kept with QSettings
// under kOrganisation / kApplication (on Linux in
// $XDG_CONFIG_HOME/corvane/corvane.conf, beside the known devices). Read once
// when made; a value that is missing or not usable reads as 0 or "". The
// window fits a remembered size to the screen and looks the interface up
// among those that exist now.
class WindowMemory : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int width READ width CONSTANT)
    Q_PROPERTY(int height READ height CONSTANT)
    Q_PROPERTY(bool maximized READ maximized CONSTANT)
    Q_PROPERTY(QString networkInterface READ networkInterface CONSTANT)

public:
    static constexpr const char* kOrganisation = "corvane";
    static constexpr const char* kApplication = "corvane";

    explicit WindowMemory(QObject* parent = nullptr);

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool maximized() const { return m_maximized; }
    QString networkInterface() const { return m_networkInterface; }

    // The size the window has when not maximised, and whether it is.
    Q_INVOKABLE void saveWindow(int width, int height, bool maximized);
    Q_INVOKABLE void saveNetworkInterface(const QString& name);

private:
    int m_width = 0;
    int m_height = 0;
    bool m_maximized = false;
    QString m_networkInterface;
};
