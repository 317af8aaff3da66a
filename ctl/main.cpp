#include "Ctl.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanectl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return Ctl::run(QCoreApplication::arguments(), out, err);
}
