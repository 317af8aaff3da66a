#pragma once

#include <QPointer>
#include <QQuickItem>

// Whether the operator is working the window from the keyboard: true from a
// key press in the window, false again from a press of a mouse button or a
// touch. The focus frames show only while it holds, so that a mouse user
// sees the window as it always was, even where the focus moved (a popup
// giving it back).
class KeyboardUse : public QQuickItem
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)

public:
    explicit KeyboardUse(QQuickItem* parent = nullptr);
    ~KeyboardUse() override;

    bool active() const { return m_active; }

Q_SIGNALS:
    void activeChanged();

protected:
    void itemChange(ItemChange change, const ItemChangeData& value) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watch(QQuickWindow* window);
    void setActive(bool active);

    QPointer<QQuickWindow> m_window;
    bool m_active = false;
};
