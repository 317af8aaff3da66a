#pragma once

#include <QObject>

#include <atomic>

// The one channel through which operations report a failed (or notable)
// result code to the user interface. notify() may be called from any thread;
// listeners connect to notifyAlert with a queued connection so that alerts are
// handled on their own thread.
class AlertNotifier : public QObject
{
    Q_OBJECT

public:
    // Creates the process-wide instance; returns 0 (also when it already exists).
    static int initialize();
    // Deletes the instance; safe to call when initialize() never ran.
    static void finalize();
    // Emits notifyAlert(code) from the instance. Without an instance the alert
    // is logged and dropped, so a late failure cannot crash the program.
    static void notify(unsigned int code);
    // The instance to connect to, or null outside initialize()/finalize().
    static AlertNotifier* getInstance();

Q_SIGNALS:
    void notifyAlert(unsigned int code);

private:
    AlertNotifier() = default;

    static std::atomic<AlertNotifier*> m_instance;
};
