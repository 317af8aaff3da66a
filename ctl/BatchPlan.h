#pragma once

#include "BatchRun.h"
#include "CtlDevices.h"
#include "CtlKeys.h"

#include <QCommandLineParser>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class DeviceFacade;
class QTextStream;
struct BatchOperation;

namespace Ctl {

// What a batch command was asked to do, read from its options and checked
// before any device is looked for: the file (its kind, name, size and
// digest), the report's place, the limits.
struct BatchPlan
{
    BatchSettings settings; // facade and observer not yet set
    QStringList names; // --device and --devices-file; empty for --all
    ScanRequest request;
    QString reportPath; // empty: no report
    QString passwordFile; // empty: CORVANE_PASSWORD or the terminal
    QString sameVersion; // --skip-same-version: the bundle's version; empty: every device is sent the file
    NewKeys newKeys = NewKeys::Refuse; // what becomes of a key no pin names
    bool dryRun = false;
    bool strict = false;
    bool yes = false;
    bool quiet = false;
    bool tableFullProceeds = false; // --table-full proceed
};

// Adds the batch's options to `parser` (--help and --verbose are there),
// parses `arguments` and checks the file and the report's place. nullopt
// with the status to exit with in `exit`: 0 when help was shown, else 2
// with the reason on `err`.
std::optional<BatchPlan> readBatchPlan(QCommandLineParser& parser, const QStringList& arguments,
                                       const BatchOperation& operation, const QString& command, QTextStream& out,
                                       QTextStream& err, int& exit);

// The check of each device still pending before anything is sent: its
// login's result (by MAC address), its version (`sameVersion`: unchanged),
// the operation's busy rule on its running status as the login read it.
// Fills versionBefore and authCode. The facade's thread.
void checkDevices(const std::vector<std::unique_ptr<DeviceRun>>& runs, const QHash<QString, Login>& logins,
                  const DeviceFacade& facade, const BatchOperation& operation, const QString& sameVersion);

} // namespace Ctl
