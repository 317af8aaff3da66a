#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

namespace Ctl {

// corvanectl update|import|image FILE --interface NAME (--all | --device ID...) [options]:
// the window's batch operations, checked before anything is sent, several
// devices at once, with retries, progress and a report.
int runUpdate(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err);
int runImport(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err);
int runImage(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace Ctl
