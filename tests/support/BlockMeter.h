#pragma once

#include "TestTools.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <time.h>

// How long the calling thread is kept from its event loop, and how far
// memory grows meanwhile: the one measure of the benchmarks and of the
// tests that face hostile devices.

// CPU time the calling thread has used, in nanoseconds.
inline qint64 threadCpuNs()
{
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        return 0;
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Records how late each tick of a fast timer comes; only what happens between
// start() and stop() counts. Lateness is what the operator feels, but on a
// loaded machine it also holds the time the thread waited for a core; the
// CPU time the thread spent between two ticks is the part its own work took.
// Each tick also samples the process's resident memory, for the peak.
class BlockMeter : public QObject
{
public:
    BlockMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kTickMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.start();
        m_clock.start();
    }

    static constexpr int kTickMs = 5;

    void start()
    {
        m_measuring = true;
        m_startKiB = m_peakKiB = residentKiB();
        m_last = m_clock.nsecsElapsed();
        m_lastCpu = threadCpuNs();
    }
    void stop()
    {
        tick();
        m_measuring = false;
    }
    double longestMs() const { return double(m_longest) / 1e6; }
    double longestBusyMs() const { return double(m_longestBusy) / 1e6; }
    qint64 ticks() const { return m_ticks; }
    // Resident memory's growth past what it was at start(), at its peak.
    double peakGrowthMiB() const { return double(m_peakKiB - m_startKiB) / 1024; }

private:
    void tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        if (m_measuring) {
            m_longest = qMax(m_longest, now - m_last - qint64(kTickMs) * 1000000);
            m_longestBusy = qMax(m_longestBusy, cpu - m_lastCpu);
            ++m_ticks;
            m_peakKiB = qMax(m_peakKiB, residentKiB());
        }
        m_last = now;
        m_lastCpu = cpu;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastCpu = 0;
    qint64 m_longest = 0;
    qint64 m_longestBusy = 0;
    qint64 m_ticks = 0;
    qint64 m_startKiB = 0;
    qint64 m_peakKiB = 0;
    bool m_measuring = false;
};
