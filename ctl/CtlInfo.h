#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

struct Services;

namespace Ctl {

// corvanectl info --interface NAME (--all | --device ID...) [--password-file FILE] [--seconds N] [--json]
int runInfo(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
            QTextStream& err);

} // namespace Ctl
