#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

struct Services;

namespace Ctl {

// corvanectl interfaces [--json]
int runInterfaces(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
                  QTextStream& err);
// corvanectl discover --interface NAME [--seconds N] [--count N] [--json]
int runDiscover(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
                QTextStream& err);

} // namespace Ctl
