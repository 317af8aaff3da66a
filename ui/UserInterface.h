#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

namespace UserInterface {

// Turns a result code into the one-line message the window shows in its
// toast (ResultMessages); generate() has no side effects.
class MessageGenerator : public QObject
{
    Q_OBJECT

public:
    explicit MessageGenerator(QObject* parent = nullptr);

    // option["errorCode"]: the code as an unsigned number (any variant that
    // converts to one; anything else counts as 0).
    Q_INVOKABLE QString generate(const QVariantMap& option) const;
};

} // namespace UserInterface
