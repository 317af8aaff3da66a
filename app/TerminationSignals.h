#pragma once

#include <QObject>

#include <functional>

class QCoreApplication;

// Work that a stop request must not cut off, such as a batch operation
// uploading to devices: busy() while it runs; busyChanged() when that may
// have changed. User-interface thread.
class UninterruptibleWork : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    virtual bool busy() const = 0;

Q_SIGNALS:
    void busyChanged();
};

// Lets the operating system's polite stop requests (terminal interrupt,
// session end, kill's default) end the event loop normally, so that the
// program shuts down as if its window had been closed. A request that comes
// while `work` is busy is logged and waits until the work is done; a second
// request ends the program at once. `work` may be null; otherwise it must
// outlive the event loop. `deferred`, when given, is called as a request
// starts to wait, to tell the operator. A later call replaces the work and
// the call and forgets a request that waits.
void quitOnTerminationSignals(QCoreApplication& app, UninterruptibleWork* work = nullptr,
                              std::function<void()> deferred = {});
