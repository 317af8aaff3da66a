#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

namespace Ctl {

// corvanectl interfaces [--json]
int runInterfaces(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err);
// corvanectl discover --interface NAME [--seconds N] [--count N] [--json]
int runDiscover(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace Ctl
