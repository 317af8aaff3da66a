#pragma once

#include <QQuickItem>
#include <QString>

// A status that assistive tools read: its text, and the busy state while
// `busy` holds (Qt Quick gives a QML item no way to carry that state). It
// draws nothing. Its accessible parent is its nearest ancestor that is in
// the accessibility tree (one with an Accessible attached property), or the
// window.
class BusyStatus : public QQuickItem
{
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy WRITE setBusy NOTIFY busyChanged)
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)

public:
    explicit BusyStatus(QQuickItem* parent = nullptr);

    bool busy() const { return m_busy; }
    void setBusy(bool busy);
    QString text() const { return m_text; }
    void setText(const QString& text);

Q_SIGNALS:
    void busyChanged();
    void textChanged();

private:
    bool m_busy = false;
    QString m_text;
};

namespace Views {

// The views' own QML types ("CorvaneViews" 1.0) and their accessibility.
void registerTypes();

} // namespace Views
