#include "TestPrograms.h"

namespace TestPrograms {

QString corvane()
{
    return QStringLiteral(CORVANE_EXECUTABLE);
}

QString corvanectl()
{
    return QStringLiteral(CORVANECTL_EXECUTABLE);
}

QString virtualDevice()
{
    return QStringLiteral(VIRTUAL_DEVICE_EXECUTABLE);
}

} // namespace TestPrograms
