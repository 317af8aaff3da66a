#include "PushThread.h"

#include "PushLink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <future>
#include <mutex>

namespace {

// The thread and the object that stands for it there: work is posted to the
// home object, which knows the links that still live.
struct Home
{
    QThread thread;
    QObject* object = nullptr; // lives on the thread; deleted with it
    QSet<PushLink*> links; // push thread only
};

std::mutex s_lock; // guards the two below
Home* s_home = nullptr;
bool s_stopped = false; // the program's end has passed: no thread any more

void stop()
{
    Home* home = nullptr;
    {
        std::lock_guard<std::mutex> locker(s_lock);
        home = std::exchange(s_home, nullptr);
        s_stopped = true;
    }
    if (!home)
        return;
    QMetaObject::invokeMethod(
        home->object,
        [home] {
            const QSet<PushLink*> links = std::exchange(home->links, {});
            qDeleteAll(links);
            PushLink::cutOffClosing();
            delete home->object;
            home->object = nullptr;
            home->thread.quit();
        },
        Qt::QueuedConnection);
    home->thread.wait();
    delete home;
}

// The thread, started on first use; null once the program's end has passed.
Home* home()
{
    std::lock_guard<std::mutex> locker(s_lock);
    if (!s_home && !s_stopped) {
        s_home = new Home;
        s_home->thread.setObjectName(QStringLiteral("Corvane push channels"));
        s_home->object = new QObject;
        s_home->object->moveToThread(&s_home->thread);
        s_home->thread.start();
        // Before the application object (and the TLS layer it holds) goes.
        qAddPostRoutine(stop);
    }
    return s_home;
}

} // namespace

void PushThread::adopt(PushLink* link)
{
    Home* const h = home();
    if (!h) {
        delete link;
        return;
    }
    link->moveToThread(&h->thread);
    QMetaObject::invokeMethod(
        h->object, [h, link] { h->links.insert(link); }, Qt::QueuedConnection);
}

void PushThread::run(PushLink* link, std::function<void(PushLink&)> work)
{
    if (Home* const h = home()) {
        QMetaObject::invokeMethod(
            h->object,
            [h, link, work = std::move(work)] {
                if (h->links.contains(link))
                    work(*link);
            },
            Qt::QueuedConnection);
    }
}

void PushThread::close(PushLink* link)
{
    if (Home* const h = home()) {
        QMetaObject::invokeMethod(
            h->object,
            [h, link] {
                if (h->links.remove(link)) {
                    link->close();
                    delete link;
                }
            },
            Qt::QueuedConnection);
    }
}

bool PushThread::finishClosing(int timeoutMs)
{
    Home* h = nullptr;
    {
        std::lock_guard<std::mutex> locker(s_lock);
        h = s_home;
    }
    if (!h)
        return true;
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    QMetaObject::invokeMethod(
        h->object,
        [h, done, timeoutMs] {
            // Looked at every 10 ms on the push thread, which runs the closes.
            auto* poll = new QTimer(h->object);
            auto clock = std::make_shared<QElapsedTimer>();
            clock->start();
            QObject::connect(poll, &QTimer::timeout, poll, [poll, done, clock, timeoutMs] {
                if (PushLink::closingCount() > 0 && !clock->hasExpired(timeoutMs))
                    return;
                poll->stop();
                const bool none = PushLink::closingCount() == 0;
                PushLink::cutOffClosing();
                done->set_value(none);
                poll->deleteLater();
            });
            poll->start(10);
        },
        Qt::QueuedConnection);
    // The thread may stop meanwhile (the program's end): then nothing runs.
    if (result.wait_for(std::chrono::milliseconds(timeoutMs + 5000)) != std::future_status::ready)
        return false;
    return result.get();
}
