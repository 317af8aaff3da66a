#include "BatchProgress.h"

#include "BatchRun.h"
#include "CtlCommon.h"
#include "Terminal.h"

#include <QJsonObject>
#include <QTextStream>

namespace Ctl {

namespace {

constexpr int kDrawIntervalMs = 200;

bool isEnd(const DeviceRun& device, const QString& kind)
{
    return device.outcome != Outcome::Pending && kind == outcomeName(device.outcome);
}

} // namespace

BatchProgress::Mode BatchProgress::textMode(bool quiet)
{
    if (quiet)
        return Mode::Quiet;
    const QByteArray term = qgetenv("TERM");
    return isTerminal(stderr) && term != "dumb" ? Mode::Live : Mode::Lines;
}

BatchProgress::BatchProgress(QTextStream& out, QTextStream& err, Mode mode, QList<const DeviceRun*> devices, int rows)
    : m_out(out)
    , m_err(err)
    , m_mode(mode)
    , m_devices(std::move(devices))
    , m_rows(rows)
{
    m_drawLater.setSingleShot(true);
    QObject::connect(&m_drawLater, &QTimer::timeout, &m_drawLater, [this] { draw(true); });
}

void BatchProgress::event(const DeviceRun& device, const QString& kind)
{
    const bool end = isEnd(device, kind) || kind == QLatin1String("ready");
    switch (m_mode) {
    case Mode::Json: {
        QJsonObject object{{QStringLiteral("time"), utcNow()},
                           {QStringLiteral("event"), kind},
                           {QStringLiteral("macAddress"), device.identity.macAddress},
                           {QStringLiteral("ipAddress"), device.identity.ipAddress},
                           {QStringLiteral("state"), device.state},
                           {QStringLiteral("attempt"), device.attempts}};
        if (kind == QLatin1String("progress"))
            object.insert(QStringLiteral("percent"), device.percent);
        if (device.httpStatus != 0)
            object.insert(QStringLiteral("httpStatus"), device.httpStatus);
        if (kind == QLatin1String("retry") || (end && device.outcome != Outcome::Succeeded)) {
            object.insert(QStringLiteral("code"), ResultCode::toHex(device.code));
            object.insert(QStringLiteral("message"), device.message);
        }
        printJson(m_out, object);
        m_out.flush();
        return;
    }
    case Mode::Live:
        if (end)
            m_results << resultLine(device);
        scheduleDraw();
        return;
    case Mode::Lines:
    case Mode::Quiet:
        if (end) {
            m_out << resultLine(device) << '\n';
            m_out.flush();
        } else if (m_mode == Mode::Lines && (kind != QLatin1String("progress") || device.percent % 10 == 0)) {
            m_err << utcNow() << "  " << device.identity.ipAddress << "  " << device.identity.macAddress << "  "
                  << device.state
                  << (kind == QLatin1String("progress") ? QStringLiteral(" %1%").arg(device.percent) : QString());
            if (kind == QLatin1String("retry"))
                m_err << "  " << printable(device.message);
            m_err << '\n';
            m_err.flush();
        }
        return;
    }
}

void BatchProgress::close()
{
    m_drawLater.stop();
    if (m_mode == Mode::Live)
        draw(false);
}

QString BatchProgress::resultLine(const DeviceRun& device) const
{
    QString line = QStringLiteral("%1  %2  %3  %4")
                       .arg(utcNow(), device.identity.ipAddress.leftJustified(15),
                            printable(device.identity.macAddress), device.state);
    if (!device.message.isEmpty() && device.outcome != Outcome::Succeeded)
        line += QStringLiteral("  ") + printable(device.message);
    return line;
}

void BatchProgress::scheduleDraw()
{
    if (!m_lastDraw.isValid() || m_lastDraw.elapsed() >= kDrawIntervalMs)
        draw(true);
    else if (!m_drawLater.isActive())
        m_drawLater.start(int(kDrawIntervalMs - m_lastDraw.elapsed()));
}

void BatchProgress::draw(bool withBlock)
{
    m_lastDraw.start();
    // Off the screen with the old block, the ended devices printed once
    // above where the new one goes.
    if (m_drawn > 0) {
        m_err << "\x1b[" << m_drawn << "F\x1b[J";
        m_err.flush();
        m_drawn = 0;
    }
    for (const QString& line : std::as_const(m_results))
        m_out << line << '\n';
    m_results.clear();
    m_out.flush();
    if (!withBlock)
        return;
    int counts[kOutcomeCount] = {};
    QList<const DeviceRun*> running;
    for (const DeviceRun* device : m_devices) {
        ++counts[int(device->outcome)];
        if (device->outcome == Outcome::Pending && device->attempts > 0)
            running << device;
    }
    const int done = int(m_devices.size()) - counts[int(Outcome::Pending)];
    QStringList block{QStringLiteral("%1 of %2 done: %3 succeeded, %4 failed, %5 skipped; %6 running")
                          .arg(done)
                          .arg(m_devices.size())
                          .arg(counts[int(Outcome::Succeeded)])
                          .arg(counts[int(Outcome::Failed)])
                          .arg(counts[int(Outcome::Skipped)] + counts[int(Outcome::Interrupted)])
                          .arg(running.size())};
    // The block fits the screen with a line to spare, whatever the fleet.
    const int room = m_rows > 3 ? m_rows - 3 : 20;
    for (const DeviceRun* device : std::as_const(running)) {
        if (block.size() > room) {
            block << QStringLiteral("... and %1 more running").arg(running.size() - (block.size() - 1));
            break;
        }
        QString line
            = QStringLiteral("  %1  %2  %3")
                  .arg(device->identity.ipAddress.leftJustified(15), device->identity.macAddress, device->state);
        if (device->state == QLatin1String("uploading"))
            line += QStringLiteral(" %1%").arg(device->percent);
        block << line;
    }
    for (const QString& line : std::as_const(block))
        m_err << "\x1b[2K" << line << '\n';
    m_err.flush();
    m_drawn = int(block.size());
    ++m_draws;
}

} // namespace Ctl
