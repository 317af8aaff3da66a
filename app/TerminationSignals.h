#pragma once

#include <QObject>

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
// outlive the event loop. A later call replaces the work and forgets a
// request that waits.
void quitOnTerminationSignals(QCoreApplication& app, UninterruptibleWork* work = nullptr);
