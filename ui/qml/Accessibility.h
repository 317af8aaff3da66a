#pragma once

#include <QQuickItem>
#include <QString>

// What the views need of accessibility beyond what Qt Quick 6.4 gives.
//
// Qt Quick's accessible items never report a disabled state, and an
// assistive tool's press of a button only reaches `Accessible.onPressAction`.
// A view item that declares `readonly property bool accessibleLeaf: true`
// is told to assistive tools by an interface of ours instead: a leaf with
// the role, name and description of its `Accessible` attached properties
// (the name of its own `accessibleName` property where it has one),
// disabled while the item is, focused while it has the focus (or says so),
// checked, part-checked and checkable as a check box is, busy while its
// `busy` property holds, and with the press (and, for check boxes, toggle)
// action raising `Accessible.onPressAction` / `onToggleAction`, which the
// view handles. Its accessible parent is its nearest ancestor in the
// accessibility tree (one with an `Accessible` attached object), or the
// window, as Qt Quick's own tree has it.

// A status that assistive tools read: its text, and the busy state while
// `busy` holds. It draws nothing.
class BusyStatus : public QQuickItem
{
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy WRITE setBusy NOTIFY busyChanged)
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(bool accessibleLeaf READ accessibleLeaf CONSTANT)

public:
    explicit BusyStatus(QQuickItem* parent = nullptr);

    bool busy() const { return m_busy; }
    void setBusy(bool busy);
    QString text() const { return m_text; }
    void setText(const QString& text);
    bool accessibleLeaf() const { return true; }

Q_SIGNALS:
    void busyChanged();
    void textChanged();

private:
    bool m_busy = false;
    QString m_text;
};

namespace Views {

// The views' own QML types ("CorvaneViews" 1.0: BusyStatus, KeyboardUse)
// and the accessible interface of the leaves above.
void registerTypes();

// Stops telling assistive tools anything; called once the event loop has
// ended, before the views are destroyed. Qt Quick 6.4 can crash while it
// destroys the file dialog's items after a screen reader has read them,
// because it still tells their changes then; nobody listens any more.
void endAccessibility();

} // namespace Views
