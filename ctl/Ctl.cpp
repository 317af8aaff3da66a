#include "Ctl.h"

#include "CtlBatch.h"
#include "CtlCommon.h"
#include "CtlDiscovery.h"
#include "CtlInfo.h"
#include "CtlTrust.h"
#include "DeviceFacade.h"
#include "DeviceParameter.h"
#include "HttpAccessManager.h"
#include "PeerTrust.h"
#include "Services.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSet>
#include <QTextStream>

#include <atomic>

namespace Ctl {

namespace {

std::atomic<bool> s_verbose{false};

// The libraries' diagnostics (debug level) are for --verbose only: a
// script's output stays what the command prints.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg && !s_verbose)
        return;
    Q_UNUSED(context)
    QTextStream(stderr) << message << Qt::endl;
}

struct Command
{
    const char* name;
    const char* summary;
    int (*run)(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
               QTextStream& err);
};

const Command kCommands[] = {
    {"interfaces", "List the network interfaces a scan can search.", &runInterfaces},
    {"discover", "Scan a network and list the devices that answer.", &runDiscover},
    {"info", "Log in to devices and print their settings.", &runInfo},
    {"update", "Send a firmware file (.bundle) to devices.", &runUpdate},
    {"import", "Send a configuration file (.xml) to devices.", &runImport},
    {"image", "Send a standby-screen image (.png, .jpg, .jpeg) to devices.", &runImage},
    {"trust", "List the devices' pinned keys, accept a device's new key, or forget one.", &runTrust},
};

QString programHelp()
{
    QString text = QStringLiteral("Usage: corvanectl <command> [options]\n\n"
                                  "Finds the devices of the family on a local network and works with them from a "
                                  "terminal or a script.\n\nCommands:\n");
    for (const Command& command : kCommands)
        text += QStringLiteral("  %1  %2\n").arg(QLatin1String(command.name), -12).arg(QLatin1String(command.summary));
    text += QStringLiteral("\n'corvanectl help <command>' (or '<command> --help') tells the options of a command.\n"
                           "Exit status: 0 success, 1 a device failed, 2 usage error or failed check, "
                           "3 no device found, 4 a result unknown, 5 a device's identity changed (its key is "
                           "not the one pinned, or another device's), 6 a device's key could not be trusted (new "
                           "and not accepted, its address shared, or the store of known devices unusable), 130 "
                           "(143, 129) interrupted by Ctrl-C (SIGTERM, SIGHUP).\n"
                           "Keys: a device's key is pinned once (corvanectl trust enroll, --trust-new, or a yes on "
                           "a terminal); CORVANE_TRUST=ask|accept-new|refuse says what to do with new keys. "
                           "CORVANE_KEY_PINNING=off turns the check of the devices' keys off: the password's code then "
                           "goes to any machine that answers for a device.\n");
    return text;
}

} // namespace

int run(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    qInstallMessageHandler(messageHandler);
    registerDeviceMetaTypes();
    const QString name = arguments.value(1);
    if (name.isEmpty() || name == QLatin1String("--help") || name == QLatin1String("-h")) {
        (name.isEmpty() ? err : out) << programHelp();
        return name.isEmpty() ? Usage : Success;
    }
    // "help <command>" is "<command> --help"; "help" alone the program's.
    if (name == QLatin1String("help") && arguments.size() > 2)
        return run({arguments.value(0), arguments.value(2), QStringLiteral("--help")}, out, err);
    if (name == QLatin1String("help")) {
        out << programHelp();
        return Success;
    }
    if (name == QLatin1String("--version") || name == QLatin1String("-v")) {
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion() << Qt::endl;
        return Success;
    }
    for (const Command& command : kCommands) {
        if (name != QLatin1String(command.name))
            continue;
        QCommandLineParser parser;
        parser.setApplicationDescription(QLatin1String(command.summary));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                      QStringLiteral("Show the options of this command."));
        const QCommandLineOption verbose(QStringLiteral("verbose"),
                                         QStringLiteral("Write the libraries' diagnostics to standard error."));
        parser.addOption(help);
        parser.addOption(verbose);
        // The command's own options come with its run; it parses.
        QStringList rest = arguments;
        rest.removeAt(1);
        rest[0] = QStringLiteral("corvanectl %1").arg(name);
        s_verbose = rest.contains(QLatin1String("--verbose"));
        // One device model and one HTTP client for the command; the push
        // channels are the batches' own, opened only when they wait for results.
        DeviceFacade facade;
        Services services;
        services.facade = &facade;
        services.httpAccess = &HttpAccessManager::getInstance();
        // A device's key is checked by every transport before its credential
        // goes (off with CORVANE_KEY_PINNING=off, which is said every time).
        std::shared_ptr<PinnedPeerTrust> trust;
        QSet<QString> told;
        if (PeerTrust::pinningWanted()) {
            trust = PinnedPeerTrust::forDevices(facade, [&err, &told](const PinnedPeerTrust::Refusal& refusal) {
                if (refusal.verdict != PeerTrust::Verdict::KeyChanged || told.contains(refusal.device.mac))
                    return;
                told.insert(refusal.device.mac);
                err << "corvanectl: " << printable(refusal.device.name) << " (" << refusal.device.mac << ", "
                    << refusal.host << "): identity changed: pinned " << refusal.pinned << ", shown "
                    << (refusal.shown.isEmpty() ? QStringLiteral("another key") : refusal.shown)
                    << "; nothing was sent to it. Once it is known to be genuine: corvanectl trust accept "
                    << refusal.device.mac << '\n';
            });
            for (const QString& warning : trust->warnings())
                err << "corvanectl: warning: " << warning << '\n';
        } else {
            err << "corvanectl: warning: " << PeerTrust::pinningOffWarning() << '\n';
        }
        services.httpAccess->setPeerTrust(trust);
        services.trust = trust.get();
        const int status = command.run(services, parser, rest, out, err);
        services.httpAccess->setPeerTrust(nullptr);
        // A damaged store, or one that could not be used, is the operator's
        // to know.
        if (trust && !trust->problem().isEmpty())
            err << "corvanectl: known devices: " << trust->problem() << '\n';
        out.flush();
        err.flush();
        return status;
    }
    err << "corvanectl: no command \"" << name << "\"\n\n" << programHelp();
    return Usage;
}

} // namespace Ctl
