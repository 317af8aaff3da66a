#include "CtlDevices.h"

#include "BatchRun.h"
#include "Credentials.h"
#include "CtlCommon.h"
#include "CtlOutcome.h"
#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "LoginController.h"
#include "Services.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace Ctl {

namespace {

constexpr int kProbeStepMs = 3;
// How long the engine may take to open the scan's socket.
constexpr int kSocketWaitMs = 2000;
constexpr int kProbeRoundPauseMs = 2000;
// The scan asks again every second; a list unchanged for longer than that
// has heard from every device that is going to answer.
constexpr qint64 kSettleMs = 1500;
constexpr int kSettleFactor = 3;

QString parameter(const DeviceFacade& facade, const QString& id, DeviceParameter type)
{
    QVariant value;
    return facade.getDeviceParameter(id, type, value, DeviceFindPolicy::ById) ? value.toString() : QString();
}

} // namespace

void addScanOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {QStringLiteral("interface"), QStringLiteral("The interface to scan, by name or IPv4 address."),
         QStringLiteral("name")},
        {QStringLiteral("seconds"),
         QStringLiteral(
             "How long to wait for answers to the scan (5 unless given; named devices end the wait once "
             "all have answered; with --all, devices still answering at its end get up to three times as long)."),
         QStringLiteral("n")},
        {QStringLiteral("max-devices"),
         QStringLiteral("How many devices the scan can list (256 unless given, at most 1024)."), QStringLiteral("n")},
        {QStringLiteral("probe"),
         QStringLiteral("Also ask this IPv4 address, or every address of this block (a.b.c.d/n), directly, for "
                        "networks that drop broadcasts (repeatable)."),
         QStringLiteral("address")},
        {QStringLiteral("model"),
         QStringLiteral("Only devices of this model, in any letter case (repeatable: any of them)."),
         QStringLiteral("name")},
    });
}

namespace {

// The addresses of `text`: one address, or the hosts of a block.
bool expandProbe(const QString& text, QStringList& addresses)
{
    if (!text.contains(QLatin1Char('/'))) {
        const QHostAddress address(text);
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            return false;
        addresses << address.toString();
        return true;
    }
    const QPair<QHostAddress, int> block = QHostAddress::parseSubnet(text);
    if (block.first.protocol() != QAbstractSocket::IPv4Protocol || block.second < 0 || block.second > 32)
        return false;
    const quint32 size = block.second == 0 ? 0xFFFFFFFFu : (quint32(1) << (32 - block.second));
    if (size > quint32(ScanRequest::kMaxProbes) + 2)
        return false;
    const quint32 base = block.first.toIPv4Address();
    // The block's own address and its broadcast are no device's, from /30 on.
    const quint32 first = size > 2 ? 1 : 0;
    const quint32 last = size > 2 ? size - 2 : size - 1;
    for (quint32 i = first; i <= last; ++i)
        addresses << QHostAddress(base + i).toString();
    return true;
}

} // namespace

std::optional<ScanRequest> readScanOptions(const QCommandLineParser& parser, const QString& command, QTextStream& err)
{
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    if (!parser.isSet(QStringLiteral("interface"))) {
        err << prefix << "--interface is needed; 'corvanectl interfaces' lists them\n";
        return std::nullopt;
    }
    const std::optional<ScannableInterface> chosen = findInterface(parser.value(QStringLiteral("interface")), err);
    const std::optional<int> seconds = numberOption(parser, QStringLiteral("seconds"), 5, 1, 3600, err);
    const std::optional<int> maxDevices
        = numberOption(parser, QStringLiteral("max-devices"), ScanRequest::kDefaultMaxDevices, 1,
                       DeviceFacade::kOperatorMostDevices, err);
    if (!chosen || !seconds || !maxDevices)
        return std::nullopt;
    ScanRequest request;
    request.chosen = *chosen;
    request.seconds = *seconds;
    request.maxDevices = *maxDevices;
    request.models = parser.values(QStringLiteral("model"));
    for (const QString& probe : parser.values(QStringLiteral("probe"))) {
        if (!expandProbe(probe, request.probes)) {
            err << prefix << "--probe takes an IPv4 address or a block of at most " << ScanRequest::kMaxProbes
                << " addresses (a.b.c.d/n), not \"" << probe << "\"\n";
            return std::nullopt;
        }
    }
    if (request.probes.size() > ScanRequest::kMaxProbes) {
        err << prefix << "at most " << ScanRequest::kMaxProbes << " addresses can be probed\n";
        return std::nullopt;
    }
    return request;
}

DeviceScan::DeviceScan(DeviceFacade& facade, ScanRequest request, const QStringList& named)
    : m_facade(facade)
    , m_request(std::move(request))
{
    QSet<QString> namedAddresses;
    for (const QString& name : named) {
        const QHostAddress address(name);
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        namedAddresses.insert(address.toString());
        if (!m_request.probes.contains(address.toString()) && m_request.probes.size() < ScanRequest::kMaxProbes)
            m_request.probes.append(address.toString());
    }
    // Only a named address is ever asked about: answers that claim any
    // other address (as many as a sender cares to make up) are not kept.
    // Other models are not listed but hold their room in the engine's table
    // all the same; their count is bounded by that table.
    QObject::connect(&m_facade, &DeviceFacade::unsupportedDeviceAnswered, &m_probes,
                     [this, namedAddresses](const QString& ipAddress, const QString& model) {
                         if (namedAddresses.contains(ipAddress))
                             m_otherModels.insert(ipAddress, model);
                         if (m_otherAnswers.size() < m_request.maxDevices)
                             m_otherAnswers.insert(ipAddress);
                     });
    QObject::connect(&m_facade, &DeviceFacade::deviceTableFull, &m_probes, [this] { m_leftOut = true; });
    // One probe at a time goes out (a new one takes over from the last), a
    // few milliseconds apart; the round starts again after a pause.
    QObject::connect(&m_probes, &QTimer::timeout, &m_probes, [this] { probeNext(); });
}

bool DeviceScan::run(const std::function<bool()>& enough, QTextStream& err)
{
    const ScannableInterface& chosen = m_request.chosen;
    // Devices answer to the asking port: a port of our own leaves the
    // discovery port to the window, or to a second scan, on this host.
    m_facade.setScanFromOwnPort(true);
    if (m_facade.initialize(m_request.maxDevices) != 0 || !m_facade.startScan(chosen.toScanMap())) {
        err << "corvanectl: the scan could not start on " << chosen.interfaceName << " (" << chosen.ipAddress << ")\n";
        return false;
    }
    // The engine opens its socket at its next pass; a socket that cannot be
    // had would otherwise read as a network where nobody answers.
    QElapsedTimer opening;
    opening.start();
    while (m_facade.scanSocketState() == 0 && opening.elapsed() < kSocketWaitMs)
        QThread::msleep(10);
    if (m_facade.scanSocketState() != 1) {
        err << "corvanectl: the scan cannot listen on " << chosen.interfaceName << " (" << chosen.ipAddress
            << "): no socket could be had for its address\n";
        return false;
    }
    if (!m_request.probes.isEmpty()) {
        probeNext();
        m_probes.start(kProbeStepMs);
    }
    QEventLoop loop;
    QElapsedTimer scanning;
    scanning.start();
    QElapsedTimer sinceChange;
    sinceChange.start();
    // Without names to wait for (--all), a site still answering when the
    // seconds are up is given more: on a loaded host a large site's answers
    // come in over several rounds of the scan, and cutting them off would
    // leave devices out. The wait ends once the list has stood still for a
    // round, and at most kSettleFactor times the seconds asked for.
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, &loop, [&] {
        const qint64 still = sinceChange.elapsed();
        if (enough || still >= kSettleMs || scanning.elapsed() >= qint64(m_request.seconds) * 1000 * kSettleFactor) {
            loop.quit();
            return;
        }
        end.start(int(kSettleMs - still));
    });
    end.start(m_request.seconds * 1000);
    QObject::connect(&m_facade, &DeviceFacade::deviceIDsChanged, &loop, [&] {
        sinceChange.restart();
        if (enough && enough())
            loop.quit();
    });
    loop.exec();
    return true;
}

bool DeviceScan::tableFull() const
{
    return m_leftOut || m_facade.deviceIDs().size() + m_otherAnswers.size() >= m_request.maxDevices;
}

QString DeviceScan::tableFullText() const
{
    QString text = QStringLiteral("the device table filled up at %1 devices (--max-devices)").arg(m_request.maxDevices);
    if (!m_otherAnswers.isEmpty())
        text += QStringLiteral(", %1 of them of models corvanectl does not work with").arg(m_otherAnswers.size());
    return text
           + (m_leftOut ? QStringLiteral("; one more device answered and found it full, so the site holds more")
                        : QStringLiteral("; devices that answer past it are not listed, so the site may hold more "
                                         "(how many is not known)"));
}

bool DeviceScan::allowsAll(const QStringList& names, bool proceed, const QString& command, QTextStream& err,
                           bool& full) const
{
    full = names.isEmpty() && tableFull();
    if (!full)
        return true;
    err << "corvanectl " << command << ": " << tableFullText();
    if (proceed)
        err << "; working on the " << devices().size() << " listed (--table-full proceed); --max-devices takes up to "
            << DeviceFacade::kOperatorMostDevices << '\n';
    else
        err << "; nothing was sent: --max-devices takes up to " << DeviceFacade::kOperatorMostDevices
            << ", or --table-full proceed works on the devices listed\n";
    return proceed;
}

QList<DeviceIdentity> DeviceScan::devices() const
{
    QList<DeviceIdentity> devices = listDevices(m_facade);
    devices.removeIf([this](const DeviceIdentity& device) { return !m_request.wants(device.model); });
    return devices;
}

QString DeviceScan::whyMissing(const QString& name) const
{
    const QList<DeviceIdentity> all = listDevices(m_facade);
    const QList<const DeviceIdentity*> other = matchDevices(all, name);
    if (!other.isEmpty() && !m_request.wants(other.first()->model))
        return QStringLiteral("%1 is a %2, which --model leaves out")
            .arg(printable(name), printable(other.first()->model));
    const QHostAddress address(name);
    const auto model = m_otherModels.constFind(address.isNull() ? name : address.toString());
    if (model != m_otherModels.cend())
        return QStringLiteral("%1 answered as a %2, a model corvanectl does not work with")
            .arg(printable(name), printable(*model));
    return QStringLiteral("no device %1 answered on %2").arg(printable(name), m_request.chosen.interfaceName);
}

void DeviceScan::probeNext()
{
    if (m_nextProbe >= m_request.probes.size()) {
        m_nextProbe = 0;
        m_probes.start(kProbeRoundPauseMs);
        return;
    }
    m_facade.probe(m_request.probes.at(m_nextProbe++));
    if (m_probes.interval() != kProbeStepMs)
        m_probes.start(kProbeStepMs);
}

void addTargetOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {QStringLiteral("device"), QStringLiteral("A device by MAC address, IP address or host name (repeatable)."),
         QStringLiteral("id")},
        {QStringLiteral("devices-file"),
         QStringLiteral("Devices from FILE (- for standard input): an id per line, or a report's rows (CSV or JSON "
                        "lines), so that the failed rows of a report can be fed back."),
         QStringLiteral("file")},
        {QStringLiteral("all"), QStringLiteral("Every device that answers.")},
        {QStringLiteral("table-full"),
         QStringLiteral("With --all, when the device table fills up (the site may hold more devices than "
                        "--max-devices): refuse (unless given) sends nothing and exits 2, proceed works on the "
                        "devices listed."),
         QStringLiteral("refuse|proceed")},
        {QStringLiteral("password-file"),
         QStringLiteral("The devices' passwords (- for standard input): one for all, or '<id> <password>' lines. "
                        "Without it, the variable CORVANE_PASSWORD, else a question on the terminal."),
         QStringLiteral("file")},
    });
}

std::optional<QStringList> readTargetNames(const QCommandLineParser& parser, const QString& command, QTextStream& err)
{
    if (parser.value(QStringLiteral("devices-file")) == QLatin1String("-")
        && parser.value(QStringLiteral("password-file")) == QLatin1String("-")) {
        err << "corvanectl " << command << ": the devices file and the password file cannot both be standard input\n";
        return std::nullopt;
    }
    QStringList names = parser.values(QStringLiteral("device"));
    if (parser.isSet(QStringLiteral("devices-file"))) {
        const QString path = parser.value(QStringLiteral("devices-file"));
        QFile file;
        const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                       : (file.setFileName(path), file.open(QIODevice::ReadOnly));
        // A list of devices is a few lines each; a larger file is no list.
        const QByteArray text = opened ? file.read(16 * 1024 * 1024) : QByteArray();
        if (!opened || (path != QLatin1String("-") && !file.atEnd())) {
            err << "corvanectl " << command << ": cannot read the devices file " << path << '\n';
            return std::nullopt;
        }
        const QStringList listed = devicesListed(QString::fromUtf8(text));
        if (listed.isEmpty()) {
            err << "corvanectl " << command << ": the devices file " << path << " names no device\n";
            return std::nullopt;
        }
        names += listed;
    }
    if (names.isEmpty() == !parser.isSet(QStringLiteral("all"))) {
        err << "corvanectl " << command << ": either --all or --device (or --devices-file) is needed\n";
        return std::nullopt;
    }
    return names;
}

std::optional<bool> readTableFullProceeds(const QCommandLineParser& parser, const QString& command, QTextStream& err)
{
    const QString choice = parser.value(QStringLiteral("table-full"));
    if (choice.isEmpty() || choice == QLatin1String("refuse") || choice == QLatin1String("proceed"))
        return choice == QLatin1String("proceed");
    err << "corvanectl " << command << ": --table-full takes refuse or proceed, not \"" << printable(choice) << "\"\n";
    return std::nullopt;
}

QStringList devicesListed(const QString& text)
{
    QStringList names;
    qsizetype macColumn = -1; // a CSV report's, once its header was read
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('{'))) {
            const QJsonObject row = QJsonDocument::fromJson(line.toUtf8()).object();
            const QString mac = row.value(QStringLiteral("macAddress")).toString();
            if (!mac.isEmpty())
                names.append(mac);
            continue;
        }
        const QStringList cells = csvCells(line);
        if (macColumn < 0 && cells.contains(QStringLiteral("macAddress"))) {
            macColumn = cells.indexOf(QStringLiteral("macAddress"));
            continue;
        }
        if (macColumn >= 0) {
            if (!cells.value(macColumn).isEmpty())
                names.append(cells.value(macColumn));
            continue;
        }
        names.append(line);
    }
    return names;
}

namespace {

QString described(const DeviceIdentity& device)
{
    return QStringLiteral("%1 (%2)").arg(device.macAddress, device.ipAddress);
}

} // namespace

std::function<bool()> namedDevicesAnswered(const DeviceFacade& facade, const QStringList& names)
{
    if (names.isEmpty() || !std::all_of(names.cbegin(), names.cend(), isAddress))
        return {};
    return [&facade, names] {
        const QList<DeviceIdentity> devices = listDevices(facade);
        return std::all_of(names.cbegin(), names.cend(),
                           [&devices](const QString& name) { return !matchDevices(devices, name).isEmpty(); });
    };
}

QList<DeviceIdentity> listDevices(const DeviceFacade& facade)
{
    QList<DeviceIdentity> devices;
    for (const QString& id : facade.deviceIDs())
        devices.append({id, parameter(facade, id, DeviceParameter::ModelName),
                        parameter(facade, id, DeviceParameter::HostName),
                        parameter(facade, id, DeviceParameter::IpAddress)});
    // By address, as a network is read.
    std::sort(devices.begin(), devices.end(), [](const DeviceIdentity& a, const DeviceIdentity& b) {
        return QHostAddress(a.ipAddress).toIPv4Address() < QHostAddress(b.ipAddress).toIPv4Address();
    });
    return devices;
}

QStringList namesOf(const QList<DeviceIdentity>& devices)
{
    QStringList names;
    for (const DeviceIdentity& device : devices)
        names += device.names();
    return names;
}

QList<const DeviceIdentity*> matchDevices(const QList<DeviceIdentity>& devices, const QString& name)
{
    QString mac = name;
    mac.replace(QLatin1Char('-'), QLatin1Char(':'));
    QList<const DeviceIdentity*> matched;
    for (const DeviceIdentity& device : devices) {
        if (device.macAddress.compare(mac, Qt::CaseInsensitive) == 0 || device.ipAddress == name
            || (!device.hostName.isEmpty() && device.hostName.compare(name, Qt::CaseInsensitive) == 0))
            matched.append(&device);
    }
    return matched;
}

Targets resolveTargets(const QList<DeviceIdentity>& found, const QStringList& names, const QString& command,
                       QTextStream& err)
{
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    Targets targets;
    if (names.isEmpty()) {
        targets.devices = found;
        return targets;
    }
    QHash<QString, QString> firstName; // by MAC address
    for (const QString& name : names) {
        const QList<const DeviceIdentity*> matched = matchDevices(found, name);
        if (matched.isEmpty()) {
            if (!targets.missing.contains(name))
                targets.missing.append(name);
            continue;
        }
        if (matched.size() > 1) {
            QStringList listed;
            for (const DeviceIdentity* device : matched)
                listed << described(*device);
            err << prefix << "the name \"" << name << "\" is shared by " << matched.size()
                << " devices: " << listed.join(QStringLiteral(", ")) << "; name one by MAC or IP address\n";
            targets.ambiguous = true;
            continue;
        }
        const DeviceIdentity& device = *matched.first();
        const auto before = firstName.constFind(device.macAddress);
        if (before != firstName.cend()) {
            err << prefix << "\"" << name << "\" and \"" << *before << "\" name the same device " << described(device)
                << "; it is worked on once\n";
            continue;
        }
        firstName.insert(device.macAddress, name);
        targets.devices.append(device);
    }
    return targets;
}

FleetLogin::FleetLogin(const Services& services, const Credentials& credentials, int atOnce, int limitMs,
                       const LoginRetry& retry)
    : m_credentials(credentials)
    , m_atOnce(std::max(atOnce, 1))
    , m_limitMs(limitMs)
    , m_retry(retry)
    , m_login(std::make_unique<LoginController>(*services.facade, *services.httpAccess))
    , m_loop(std::make_unique<QEventLoop>())
{
}

// The loop goes first: the logins still under way end with it.
FleetLogin::~FleetLogin()
{
    m_loop.reset();
}

QHash<QString, Login> FleetLogin::run(const QList<DeviceIdentity>& devices)
{
    for (const DeviceIdentity& device : devices) {
        Login& entry = m_logins[device.macAddress];
        entry.result = HttpAccessManager::kTimedOut;
        const QString password = m_credentials.passwordFor(device.names());
        entry.authCode = LoginController::authCodeOf(password);
    }
    for (const DeviceIdentity& device : devices) {
        const bool own = m_credentials.hasOwnPassword(device.names());
        if (own || m_sharedTrying < kSharedPasswordTries) {
            m_sharedTrying += own ? 0 : 1;
            m_line.push_back({&device, 1});
        } else {
            m_later.append(&device);
        }
    }
    startTurns();
    if (!finished())
        m_loop->exec();
    return m_logins;
}

void FleetLogin::startTurns()
{
    while (m_running < m_atOnce && !m_line.empty()) {
        const Turn turn = m_line.front();
        m_line.pop_front();
        attempt(turn);
    }
    if (finished())
        m_loop->quit();
}

bool FleetLogin::finished() const
{
    return m_running == 0 && m_pausing == 0 && m_line.empty() && m_later.isEmpty();
}

void FleetLogin::attempt(const Turn& turn)
{
    ++m_running;
    const QString mac = turn.device->macAddress;
    const quint64 id = ++m_lastAttempt;
    m_current.insert(mac, id);
    // The exchanges time out by themselves; this bounds the login as a whole.
    QTimer::singleShot(m_limitMs, m_loop.get(), [this, turn, id] { ended(turn, id, HttpAccessManager::kTimedOut); });
    m_login->requestLoginAsync(mac, m_logins.value(mac).authCode, m_loop.get(),
                               [this, turn, id](int32_t result) { ended(turn, id, result); });
}

void FleetLogin::ended(const Turn& turn, quint64 attemptId, int32_t result)
{
    const QString& mac = turn.device->macAddress;
    // A login given up at its limit may still answer: too late to count.
    if (m_current.value(mac) != attemptId)
        return;
    m_current.remove(mac);
    --m_running;
    const bool network = result == HttpAccessManager::kTimedOut || result == HttpAccessManager::kNoStatus
                         || result == HttpAccessManager::kAnswerBroken;
    if (network && turn.tries <= m_retry.retries) {
        // Its place goes to the next device for the pause; then it goes
        // first, having waited its turn once.
        ++m_pausing;
        QTimer::singleShot(retryDelayMs(m_retry.firstDelaySeconds, turn.tries), m_loop.get(), [this, turn] {
            --m_pausing;
            m_line.push_front({turn.device, turn.tries + 1});
            startTurns();
        });
        startTurns();
        return;
    }
    m_logins[mac].result = result;
    const bool shared = !m_credentials.hasOwnPassword(turn.device->names());
    if (shared && m_sharedAnswered < m_sharedTrying) {
        ++m_sharedAnswered;
        if (result == LoginController::kInvalidPassword)
            ++m_sharedRefused;
        if (m_sharedAnswered == m_sharedTrying)
            releaseLater();
    }
    startTurns();
}

void FleetLogin::releaseLater()
{
    const bool spared = m_sharedRefused == m_sharedAnswered;
    for (const DeviceIdentity* device : std::as_const(m_later)) {
        if (spared)
            m_logins[device->macAddress].result = kPasswordSpared;
        else
            m_line.push_back({device, 1});
    }
    m_later.clear();
}

QHash<QString, Login> logInAll(const Services& services, const QList<DeviceIdentity>& devices,
                               const Credentials& credentials, int limitMs, const LoginRetry& retry, int atOnce)
{
    FleetLogin login(services, credentials, atOnce, limitMs, retry);
    return login.run(devices);
}

} // namespace Ctl
