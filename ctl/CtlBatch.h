#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

struct Services;

namespace Ctl {

// corvanectl update|import|image FILE --interface NAME (--all | --device ID...) [options]:
// the window's batch operations, checked before anything is sent, several
// devices at once, with retries, progress and a report.
int runUpdate(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
              QTextStream& err);
int runImport(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
              QTextStream& err);
int runImage(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
             QTextStream& err);

} // namespace Ctl
