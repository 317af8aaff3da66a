#pragma once

#include <QCommandLineParser>
#include <QStringList>

class QTextStream;

struct Services;

namespace Ctl {

// corvanectl trust list [--output table|json|csv] [--json]
// corvanectl trust forget MAC
// The known devices' store, shared with the window: each device's pinned
// key digest, when it was first seen, and its model and name then.
int runTrust(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
             QTextStream& err);

} // namespace Ctl
