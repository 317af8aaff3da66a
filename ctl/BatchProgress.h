#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimer>

class QTextStream;

namespace Ctl {

struct DeviceRun;

// Tells of a batch as it runs. As JSON, one object per event on `out`. As
// text, each device's end once, as a line on `out` (what a script reads),
// and the progress on `err`: on a terminal a block redrawn in place at most
// five times a second (the counters, and the running devices that fit the
// screen), elsewhere timestamped lines (every 10 %), none when quiet.
class BatchProgress
{
public:
    enum class Mode { Json, Live, Lines, Quiet };

    // Live when standard error is a terminal that can move its cursor (not
    // TERM=dumb).
    static Mode textMode(bool quiet);

    // `rows`: the terminal's height for Live (0: unknown).
    BatchProgress(QTextStream& out, QTextStream& err, Mode mode, QList<const DeviceRun*> devices, int rows = 0);
    BatchProgress(const BatchProgress&) = delete;
    BatchProgress& operator=(const BatchProgress&) = delete;

    // `kind`: "start", "progress", "retry", "uploaded", "ready" or the name of
    // the device's outcome.
    void event(const DeviceRun& device, const QString& kind);
    // Ends the live block, leaving the devices' lines above what follows.
    void close();

    // How many times the live block was drawn.
    int draws() const { return m_draws; }

private:
    void scheduleDraw();
    void draw(bool withBlock);
    QString resultLine(const DeviceRun& device) const;

    QTextStream& m_out;
    QTextStream& m_err;
    const Mode m_mode;
    const QList<const DeviceRun*> m_devices;
    const int m_rows;
    QStringList m_results; // ended devices' lines not yet printed (Live)
    QElapsedTimer m_lastDraw;
    QTimer m_drawLater;
    int m_drawn = 0; // lines of the block on the screen
    int m_draws = 0;
};

} // namespace Ctl
