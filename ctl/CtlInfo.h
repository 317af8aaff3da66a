#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

namespace Ctl {

// corvanectl info --interface NAME (--all | --device ID...) [--password-file FILE] [--seconds N] [--json]
int runInfo(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace Ctl
