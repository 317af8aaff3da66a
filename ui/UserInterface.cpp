#include "UserInterface.h"

#include "ResultMessages.h"

#include <QMetaType>

namespace UserInterface {

namespace {

quint32 toCode(const QVariant& value)
{
    if (value.metaType().id() == QMetaType::UInt)
        return value.toUInt();
    bool ok = false;
    const quint32 converted = value.toUInt(&ok);
    return ok ? converted : 0;
}

} // namespace

MessageGenerator::MessageGenerator(QObject* parent)
    : QObject(parent)
{
}

QString MessageGenerator::generate(const QVariantMap& option) const
{
    return ResultMessages::text(toCode(option.value(QStringLiteral("errorCode"))));
}

} // namespace UserInterface
