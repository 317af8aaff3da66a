#include "NestedWait.h"

#include <QEventLoop>
#include <QTimer>

bool NestedWait::run(QEventLoop& loop, int timeoutMs)
{
    QTimer timer;
    if (timeoutMs >= 0) {
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
    }

    loop.exec();

    if (timeoutMs < 0)
        return true;
    if (timer.isActive()) {
        timer.stop();
        return true;
    }
    return false;
}
