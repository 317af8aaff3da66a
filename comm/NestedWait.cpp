#include "NestedWait.h"

#include <QEventLoop>

bool NestedWait::run(QEventLoop& loop, const std::function<bool()>& done)
{
    if (done())
        return true;
    // Only a quit ends exec(): ours, once done() holds, or the application's,
    // which also makes every later exec() return at once.
    loop.exec();
    return done();
}
