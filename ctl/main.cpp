#include "Ctl.h"
#include "ProcessGuard.h"
#include "WebSocketClient.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    // The password and its code live in this process from the start.
    forbidCoreDumps();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanectl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int code = Ctl::run(QCoreApplication::arguments(), out, err);
    // The devices see each channel's closing handshake before the process ends.
    WebSocketClient::finishClosing();
    return code;
}
