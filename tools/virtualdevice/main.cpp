// corvane-virtual-device: plays one or more devices of the product family on
// their own IPv4 addresses, for development, tests and demonstrations.

#include "Certificate.h"
#include "ControlChannel.h"
#include "DeviceConfig.h"
#include "LndpResponder.h"
#include "VirtualDevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
}

void printLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

int fail(const QString& message)
{
    fprintf(stderr, "corvane-virtual-device: %s\n", qPrintable(message));
    return 2;
}

// Client mode: one command to a running device process, its reply printed.
int sendCommand(const QString& path, const QString& command)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(5000))
        return fail(QStringLiteral("cannot reach %1: %2").arg(path, socket.errorString()));
    socket.write(command.toUtf8() + '\n');
    socket.flush();
    for (;;) {
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(10000))
                return fail(QStringLiteral("no reply from %1").arg(path));
        }
        const QString line = QString::fromUtf8(socket.readLine()).trimmed();
        printLine(line);
        if (line.startsWith(QLatin1String("ok")))
            return 0;
        if (line.startsWith(QLatin1String("error")))
            return 1;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-virtual-device"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays devices that answer discovery, HTTPS and the push channel on their own addresses.\n"
        "Device keys: id, address, mac, model, name, password, version, serial, subnet, gateway, dns1, dns2, status,\n"
        "broadcast (normal, deaf), throttle (upload bytes per second, k/m suffix),\n"
        "finish (normal, result-then-idle, idle-then-result, together, together-idle-first)."));
    parser.addHelpOption();
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("JSON file with the devices."),
                                          QStringLiteral("file"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("One device as key=value,key=value (repeatable)."),
                                          QStringLiteral("keys"));
    const QCommandLineOption generateOption(QStringLiteral("generate"),
                                            QStringLiteral("Make <count> devices on consecutive addresses."),
                                            QStringLiteral("count"));
    const QCommandLineOption firstOption(QStringLiteral("first-address"),
                                         QStringLiteral("First address for --generate."), QStringLiteral("address"),
                                         QStringLiteral("10.213.0.10"));
    const QCommandLineOption passwordOption(QStringLiteral("password"),
                                            QStringLiteral("Password of generated devices."),
                                            QStringLiteral("password"), QStringLiteral("corvane"));
    const QCommandLineOption subnetOption(QStringLiteral("subnet"),
                                          QStringLiteral("Subnet mask of generated devices (whom they answer)."),
                                          QStringLiteral("mask"), QStringLiteral("255.255.255.0"));
    const QCommandLineOption lndpPortOption(
        QStringLiteral("lndp-port"), QStringLiteral("Discovery port (0: any free one)."), QStringLiteral("port"));
    const QCommandLineOption httpsPortOption(QStringLiteral("https-port"),
                                             QStringLiteral("HTTPS and push port (0: any free one per device)."),
                                             QStringLiteral("port"));
    const QCommandLineOption stepMsOption(QStringLiteral("update-step-ms"),
                                          QStringLiteral("Interval of firmware installation progress reports."),
                                          QStringLiteral("ms"));
    const QCommandLineOption stepPercentOption(QStringLiteral("update-step-percent"),
                                               QStringLiteral("Progress per report."), QStringLiteral("percent"));
    const QCommandLineOption rebootOption(
        QStringLiteral("reboot-ms"),
        QStringLiteral("Down time of the reboot after a successful firmware update (0: no reboot)."),
        QStringLiteral("ms"));
    const QCommandLineOption controlOption(QStringLiteral("control"), QStringLiteral("Local control socket path."),
                                           QStringLiteral("path"));
    const QCommandLineOption noStdinOption(QStringLiteral("no-stdin"),
                                           QStringLiteral("Do not read commands from standard input."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Log discovery traffic on standard error."));
    const QCommandLineOption keyFolderOption(
        QStringLiteral("key-dir"),
        QStringLiteral("Keep each device's key and certificate in <folder>, and show the same at the next start "
                       "(default: $CORVANE_VIRTUAL_DEVICE_KEYS; empty: a new key at every start)."),
        QStringLiteral("folder"));
    const QCommandLineOption parentOption(QStringLiteral("exit-with-parent"),
                                          QStringLiteral("End when the parent process ends."));
    const QCommandLineOption sendOption(
        QStringLiteral("send"),
        QStringLiteral("Send the remaining arguments as one command to the control socket <path> and print the reply."),
        QStringLiteral("path"));
    parser.addOptions({configOption, deviceOption, generateOption, firstOption, passwordOption, subnetOption,
                       lndpPortOption, httpsPortOption, stepMsOption, stepPercentOption, rebootOption, controlOption,
                       noStdinOption, verboseOption, keyFolderOption, parentOption, sendOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("With --send: the command."));
    parser.process(app);

    if (parser.isSet(sendOption))
        return sendCommand(parser.value(sendOption), parser.positionalArguments().join(QLatin1Char(' ')));
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    ProcessConfig config;
    QString error;
    if (parser.isSet(configOption) && !DeviceConfigParser::fromFile(parser.value(configOption), config, error))
        return fail(error);
    for (const QString& text : parser.values(deviceOption)) {
        DeviceConfig device;
        if (!DeviceConfigParser::fromKeyValues(text, int(config.devices.size()), device, error))
            return fail(error);
        config.devices.append(device);
    }
    if (parser.isSet(generateOption)) {
        bool ok = false;
        const int count = parser.value(generateOption).toInt(&ok);
        const qsizetype first = config.devices.size();
        if (!ok
            || !DeviceConfigParser::generate(count, parser.value(firstOption), parser.value(passwordOption),
                                             config.devices, error))
            return fail(ok ? error : QStringLiteral("--generate needs a count"));
        const QHostAddress mask(parser.value(subnetOption));
        if (mask.protocol() != QAbstractSocket::IPv4Protocol)
            return fail(QStringLiteral("--subnet needs an IPv4 mask, not \"%1\"").arg(parser.value(subnetOption)));
        for (qsizetype i = first; i < config.devices.size(); ++i)
            config.devices[i].subnet = mask.toString();
    }
    if (config.devices.isEmpty())
        return fail(QStringLiteral("no devices: give --config, --device or --generate (see --help)"));
    if (!DeviceConfigParser::validate(config.devices, error))
        return fail(error);
    const auto readNumber = [&](const QCommandLineOption& option, int low, int high, int& out) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < low || value > high) {
            error = QStringLiteral("--%1 must lie in %2..%3").arg(option.names().first()).arg(low).arg(high);
            return false;
        }
        out = value;
        return true;
    };
    int lndpPort = config.lndpPort;
    int httpsPort = config.httpsPort;
    if (!readNumber(lndpPortOption, 0, 65535, lndpPort) || !readNumber(httpsPortOption, 0, 65535, httpsPort)
        || !readNumber(stepMsOption, 1, 60000, config.updateStepMs)
        || !readNumber(stepPercentOption, 1, 100, config.updateStepPercent)
        || !readNumber(rebootOption, 0, 600000, config.rebootMs))
        return fail(error);

    if (parser.isSet(parentOption)) {
        // A test network's script may be killed outright; its devices go with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() == 1)
            return fail(QStringLiteral("the parent has already ended"));
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return fail(QStringLiteral("cannot create the signal pipe"));
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGHUP, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    // A test run or a demo keeps its devices' keys in one folder for every
    // device process it starts; an empty --key-dir asks for none.
    const QString keyFolder = parser.isSet(keyFolderOption) ? parser.value(keyFolderOption)
                                                            : qEnvironmentVariable("CORVANE_VIRTUAL_DEVICE_KEYS");
    QList<VirtualDevice*> devices;
    for (const DeviceConfig& deviceConfig : std::as_const(config.devices)) {
        QSslConfiguration tls;
        // Named after the MAC address: short and fixed, whereas names and
        // serial numbers may be longer than a certificate's name field.
        const QString mac = DeviceConfigParser::macText(deviceConfig.mac);
        if (!Certificate::makeServerConfiguration(QStringLiteral("Virtual device ") + mac, deviceConfig.address, tls,
                                                  error, keyFolder, QString(mac).remove(QLatin1Char(':')),
                                                  deviceConfig.keyType))
            return fail(error);
        auto* device = new VirtualDevice(deviceConfig, tls, config.updateStepMs, config.updateStepPercent, &app);
        device->setRebootMs(config.rebootMs);
        if (!device->start(quint16(httpsPort), error))
            return fail(error);
        QObject::connect(device, &VirtualDevice::event, &app, [device](const QString& text) {
            printLine(QStringLiteral("event %1 %2").arg(device->config().id, text));
        });
        devices.append(device);
    }

    LndpResponder lndp;
    if (parser.isSet(verboseOption)) {
        QObject::connect(&lndp, &LndpResponder::log, &app,
                         [](const QString& line) { fprintf(stderr, "%s\n", qPrintable(line)); });
    }
    if (!lndp.start(devices, quint16(lndpPort), error))
        return fail(error);

    ControlChannel control(devices);
    QObject::connect(&control, &ControlChannel::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&control, &ControlChannel::output, &app, &printLine);
    if (parser.isSet(controlOption) && !control.listen(parser.value(controlOption), error))
        return fail(error);
    if (!parser.isSet(noStdinOption))
        control.readStandardInput();

    QJsonArray list;
    for (VirtualDevice* device : std::as_const(devices)) {
        const DeviceConfig& c = device->config();
        printLine(QStringLiteral("device %1 %2 %3 %4 \"%5\" version=%6 serial=%7 https=%8 password=%9")
                      .arg(c.id, c.address.toString(), DeviceConfigParser::macText(c.mac), c.model, c.name, c.version,
                           c.serial)
                      .arg(device->httpsPort())
                      .arg(c.password));
        list.append(QJsonObject{
            {QStringLiteral("id"), c.id},
            {QStringLiteral("address"), c.address.toString()},
            {QStringLiteral("mac"), DeviceConfigParser::macText(c.mac)},
            {QStringLiteral("model"), c.model},
            {QStringLiteral("name"), c.name},
            {QStringLiteral("password"), c.password},
            {QStringLiteral("httpsPort"), device->httpsPort()},
        });
    }
    const QJsonObject ready{
        {QStringLiteral("lndpPort"), lndp.port()},
        {QStringLiteral("control"), parser.value(controlOption)},
        {QStringLiteral("devices"), list},
    };
    printLine(QStringLiteral("ready ") + QString::fromUtf8(QJsonDocument(ready).toJson(QJsonDocument::Compact)));

    const int rc = app.exec();
    printLine(QStringLiteral("bye"));
    return rc;
}
