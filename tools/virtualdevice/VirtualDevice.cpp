#include "VirtualDevice.h"

#include "Certificate.h"
#include "HttpsServer.h"
#include "PushHub.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

VirtualDevice::VirtualDevice(const DeviceConfig& config, const QSslConfiguration& tls, int updateStepMs,
                             int updateStepPercent, QObject* parent)
    : QObject(parent)
    , m_config(config)
    , m_faults(startFaults())
    , m_updateStepMs(updateStepMs)
    , m_updateStepPercent(updateStepPercent)
    , m_deviceStatus(config.deviceStatus)
{
    m_updateTimer.setInterval(m_updateStepMs);
    connect(&m_updateTimer, &QTimer::timeout, this, &VirtualDevice::updateStep);
    m_rebootTimer.setSingleShot(true);
    connect(&m_rebootTimer, &QTimer::timeout, this, &VirtualDevice::finishReboot);
    connect(&m_pushRateTimer, &QTimer::timeout, this, &VirtualDevice::pushRateStep);
    m_push = new PushHub(this, this);
    m_https = new HttpsServer(this, tls, this);
    m_startTls = tls;
}

VirtualDevice::~VirtualDevice() = default;

bool VirtualDevice::start(quint16 httpsPort, QString& error)
{
    return m_https->start(httpsPort, error);
}

quint16 VirtualDevice::httpsPort() const
{
    return m_https->port();
}

QByteArray VirtualDevice::authCode() const
{
    return QCryptographicHash::hash(m_config.password.toUtf8(), QCryptographicHash::Md5).toHex();
}

bool VirtualDevice::isAuthorised(const QByteArray& authorization) const
{
    const QByteArray value = authorization.trimmed();
    if (!value.left(6).toLower().startsWith("basic "))
        return false;
    const auto decoded
        = QByteArray::fromBase64Encoding(value.mid(6).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    const QByteArray credentials = *decoded;
    const qsizetype colon = credentials.indexOf(':');
    if (colon < 0 || credentials.left(colon) != "admin")
        return false;
    return credentials.mid(colon + 1).toLower() == authCode();
}

QJsonObject VirtualDevice::settingsDocument() const
{
    QJsonObject sys{
        {QStringLiteral("base-ver"), m_config.version},
        {QStringLiteral("base-sernum"), m_config.serial},
        {QStringLiteral("model-name"), m_config.model},
        {QStringLiteral("device-name"), m_config.name},
        {QStringLiteral("device-status"), m_deviceStatus},
        {QStringLiteral("upgrade-status"), m_upgradeStatus},
        {QStringLiteral("upgrade-result"), m_upgradeResult},
        {QStringLiteral("import-result"),
         QJsonObject{{QStringLiteral("code"), m_importCode}, {QStringLiteral("option"), QJsonArray()}}},
    };
    QJsonObject display{{QStringLiteral("upload-idle-image-valid"), m_imageValid}};
    QJsonObject net{
        {QStringLiteral("ipv4-address"), m_config.address.toString()},
        {QStringLiteral("mac-address"), DeviceConfigParser::macText(m_config.mac)},
        {QStringLiteral("ipv4-subnet"), m_config.subnet},
        {QStringLiteral("ipv4-gateway"), m_config.gateway},
        {QStringLiteral("ipv4-dns1"), m_config.dns1},
        {QStringLiteral("ipv4-dns2"), m_config.dns2},
    };
    return QJsonObject{
        {QStringLiteral("sys"), sys}, {QStringLiteral("display"), display}, {QStringLiteral("net"), net}};
}

QByteArray VirtualDevice::notification(const QJsonObject& body)
{
    const QJsonObject message{
        {QStringLiteral("command"), QJsonObject{{QStringLiteral("type"), QStringLiteral("settings-notification")},
                                                {QStringLiteral("device"), QStringLiteral("self")}}},
        {QStringLiteral("body"), body},
    };
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

void VirtualDevice::notify(const QJsonObject& body)
{
    m_notificationsSent += m_push->sendText(QString::fromUtf8(notification(body)));
}

void VirtualDevice::notifyText(const QByteArray& body)
{
    const QByteArray message
        = QByteArrayLiteral(R"({"command":{"type":"settings-notification","device":"self"},"body":)") + body + '}';
    m_notificationsSent += m_push->sendText(QString::fromUtf8(message));
}

void VirtualDevice::pushResult(const char* section, const QJsonObject& result, bool idleByDefault)
{
    using Finish = DeviceFaults::Finish;
    const QByteArray name = '"' + QByteArray(section) + '"';
    const QByteArray value = QJsonDocument(result).toJson(QJsonDocument::Compact);
    const QByteArray idle = QByteArrayLiteral(R"("device-status":0)");
    const bool sys = qstrcmp(section, "sys") == 0;
    // Written by hand: a QJsonObject would put its members in name order.
    const QByteArray alone = '{' + name + ':' + value + '}';
    const QByteArray idleAlone = "{\"sys\":{" + idle + "}}";
    const Finish finish = m_faults.finish;
    if (finish != Finish::Normal || idleByDefault)
        m_deviceStatus = 0;
    switch (finish) {
    case Finish::Normal:
        notifyText(alone);
        if (idleByDefault)
            notifyText(idleAlone);
        break;
    case Finish::ResultThenIdle:
        notifyText(alone);
        notifyText(idleAlone);
        break;
    case Finish::IdleThenResult:
        notifyText(idleAlone);
        notifyText(alone);
        break;
    case Finish::Together:
        notifyText(sys ? QByteArray("{\"sys\":{" + value.mid(1, value.size() - 2) + ',' + idle + "}}")
                       : QByteArray('{' + name + ':' + value + ",\"sys\":{" + idle + "}}"));
        break;
    case Finish::TogetherIdleFirst:
        notifyText(sys ? QByteArray("{\"sys\":{" + idle + ',' + value.mid(1, value.size() - 2) + "}}")
                       : QByteArray("{\"sys\":{" + idle + "}," + name + ':' + value + '}'));
        break;
    }
}

PaddedJson VirtualDevice::paddedNotification(qint64 size) const
{
    const QJsonObject body{
        {QStringLiteral("padding"), QString()},
        {QStringLiteral("sys"), QJsonObject{{QStringLiteral("device-status"), m_deviceStatus}}},
    };
    return PaddedJson::grow(notification(body), size);
}

int VirtualDevice::notifyPadded(const PaddedJson& message)
{
    const int sent = m_push->sendPadded(message);
    m_notificationsSent += sent;
    return sent;
}

static QJsonObject sysBody(const QJsonObject& sys)
{
    return QJsonObject{{QStringLiteral("sys"), sys}};
}

void VirtualDevice::setDeviceStatus(int status)
{
    m_deviceStatus = status;
    notify(sysBody({{QStringLiteral("device-status"), status}}));
}

QString VirtualDevice::nextVersion(const QString& fileName) const
{
    static const QRegularExpression versionInName(QStringLiteral("(\\d+(?:\\.\\d+)+)"));
    const QRegularExpressionMatch match = versionInName.match(fileName);
    if (match.hasMatch())
        return match.captured(1);
    // No version in the file name: count the last number of the current one up.
    static const QRegularExpression lastNumber(QStringLiteral("(\\d+)(?!.*\\d)"));
    const QRegularExpressionMatch last = lastNumber.match(m_config.version);
    if (!last.hasMatch())
        return m_config.version + QStringLiteral(".1");
    QString next = m_config.version;
    next.replace(last.capturedStart(1), last.capturedLength(1), QString::number(last.captured(1).toLongLong() + 1));
    return next;
}

void VirtualDevice::startFirmwareUpdate(const QString& fileName)
{
    m_pendingVersion = nextVersion(fileName);
    m_deviceStatus = 1;
    m_updatePercent = 0;
    m_upgradeStatus = 0;
    notify(sysBody({{QStringLiteral("device-status"), 1}}));
    notify(sysBody({{QStringLiteral("upgrade-status"), 0}}));
    Q_EMIT event(QStringLiteral("update started %1").arg(m_pendingVersion));
    m_updateTimer.start();
}

void VirtualDevice::updateStep()
{
    m_updatePercent = qMin(100, m_updatePercent + m_updateStepPercent);
    m_upgradeStatus = m_updatePercent;
    notify(sysBody({{QStringLiteral("upgrade-status"), m_updatePercent}}));
    if (m_updatePercent < 100)
        return;
    m_updateTimer.stop();
    m_updatePercent = -1;
    m_upgradeResult = m_faults.updateResult;
    if (m_upgradeResult == 0)
        m_config.version = m_pendingVersion;
    QJsonObject result{{QStringLiteral("upgrade-result"), m_upgradeResult}};
    if (m_faults.reportVersion)
        result.insert(QStringLiteral("base-ver"), m_config.version);
    pushResult("sys", result, true);
    Q_EMIT event(QStringLiteral("update finished result=%1 version=%2").arg(m_upgradeResult).arg(m_config.version));
    // The new firmware starts with a reboot; a failed or skipped update
    // leaves the old one running. The last notifications are on their way
    // before the channels go.
    if (m_upgradeResult == 0 && m_rebootMs > 0)
        reboot();
}

void VirtualDevice::reboot()
{
    const bool wasDown = isRebooting();
    m_updateTimer.stop();
    m_updatePercent = -1;
    m_upgradeStatus = -1;
    const int dropped = m_push->dropAll();
    m_https->setDown(true);
    if (m_rebootMs <= 0) {
        Q_EMIT event(QStringLiteral("reboot started ms=0 dropped=%1").arg(dropped));
        finishReboot();
        return;
    }
    m_rebootTimer.start(m_rebootMs);
    if (!wasDown)
        Q_EMIT event(QStringLiteral("reboot started ms=%1 dropped=%2").arg(m_rebootMs).arg(dropped));
}

void VirtualDevice::finishReboot()
{
    m_rebootTimer.stop();
    // Firmware starts idle; settings, results and the installed version stay.
    m_deviceStatus = 0;
    m_https->setDown(false);
    Q_EMIT event(QStringLiteral("reboot finished version=%1").arg(m_config.version));
}

void VirtualDevice::setPushRate(int intervalMs)
{
    if (intervalMs <= 0) {
        if (!m_pushRateTimer.isActive())
            return;
        m_pushRateTimer.stop();
        if (m_deviceStatus != m_statusBeforePushRate)
            setDeviceStatus(m_statusBeforePushRate);
        return;
    }
    if (!m_pushRateTimer.isActive())
        m_statusBeforePushRate = m_deviceStatus;
    m_pushRateTimer.start(intervalMs);
}

void VirtualDevice::pushRateStep()
{
    // Idle and busy in turn: every notification is a change of the status.
    setDeviceStatus(m_deviceStatus == 0 ? 1 : 0);
}

void VirtualDevice::finishImport(bool wellFormed)
{
    m_importCode = m_faults.importResult >= 0 ? m_faults.importResult : (wellFormed ? 0 : 5);
    pushResult("sys",
               {{QStringLiteral("import-result"),
                 QJsonObject{{QStringLiteral("code"), m_importCode}, {QStringLiteral("option"), QJsonArray()}}}},
               false);
    Q_EMIT event(QStringLiteral("import result=%1").arg(m_importCode));
}

void VirtualDevice::finishStandbyImage(bool valid)
{
    m_imageValid = valid ? 0 : 1;
    pushResult("display", {{QStringLiteral("upload-idle-image-valid"), m_imageValid}}, false);
    Q_EMIT event(QStringLiteral("standby-image valid=%1").arg(valid ? 1 : 0));
}

bool VirtualDevice::setValue(const QString& key, const QString& value, QString& error)
{
    DeviceConfig changed = m_config;
    // The address and MAC address are fixed for the life of the process: the
    // servers are bound to them.
    if (key == QLatin1String("address") || key == QLatin1String("mac") || key == QLatin1String("id")) {
        error = QStringLiteral("%1 cannot change while the device runs").arg(key);
        return false;
    }
    // The address its discovery answers claim: a forged answer from now on.
    if (key == QLatin1String("claim")) {
        QHostAddress claimed;
        if (value != QLatin1String("off") && !DeviceConfigParser::parseIpv4(value, claimed)) {
            error = QStringLiteral("claim needs an IPv4 address or off");
            return false;
        }
        m_config.claimedAddress = claimed;
        return true;
    }
    // Start-up faults: changed as the other faults are.
    if (key == QLatin1String("broadcast") || key == QLatin1String("throttle") || key == QLatin1String("finish")) {
        error = QStringLiteral("%1 is a fault: fault <dev> %1").arg(key);
        return false;
    }
    QJsonObject object{{QStringLiteral("address"), m_config.address.toString()}, {key, value}};
    DeviceConfig parsed;
    if (!DeviceConfigParser::fromJson(object, 0, parsed, error))
        return false;
    if (key == QLatin1String("model"))
        changed.model = value;
    else if (key == QLatin1String("name"))
        changed.name = value;
    else if (key == QLatin1String("password"))
        changed.password = value;
    else if (key == QLatin1String("version"))
        changed.version = value;
    else if (key == QLatin1String("serial"))
        changed.serial = value;
    else if (key == QLatin1String("subnet"))
        changed.subnet = value;
    else if (key == QLatin1String("gateway"))
        changed.gateway = value;
    else if (key == QLatin1String("dns1"))
        changed.dns1 = value;
    else if (key == QLatin1String("dns2"))
        changed.dns2 = value;
    else if (key == QLatin1String("status")) {
        setDeviceStatus(parsed.deviceStatus);
        return true;
    }
    m_config = changed;
    if (key == QLatin1String("subnet") || key == QLatin1String("gateway") || key == QLatin1String("dns1")
        || key == QLatin1String("dns2")) {
        notify(QJsonObject{{QStringLiteral("net"), QJsonObject{
                                                       {QStringLiteral("ipv4-subnet"), m_config.subnet},
                                                       {QStringLiteral("ipv4-gateway"), m_config.gateway},
                                                       {QStringLiteral("ipv4-dns1"), m_config.dns1},
                                                       {QStringLiteral("ipv4-dns2"), m_config.dns2},
                                                   }}});
    }
    return true;
}

void VirtualDevice::applyConnectFault(DeviceFaults::Connect mode)
{
    m_faults.connect = mode;
    m_https->setRefusing(mode == DeviceFaults::Connect::Refuse);
}

DeviceFaults VirtualDevice::startFaults() const
{
    DeviceFaults faults;
    faults.broadcastDeaf = m_config.broadcastDeaf;
    faults.throttleBytesPerSecond = m_config.throttleBytesPerSecond;
    faults.finish = m_config.finish;
    return faults;
}

void VirtualDevice::clearFaults()
{
    m_faults = startFaults();
    m_https->setRefusing(false);
    m_https->setTls(m_startTls);
    m_push->setPingsAnswered(true);
}

bool VirtualDevice::swapKey(QString& error)
{
    QSslConfiguration swapped;
    if (!Certificate::makeServerConfiguration(
            m_startTls.localCertificate().subjectInfo(QSslCertificate::CommonName).value(0), m_config.address, swapped,
            error, {}, {}, m_config.keyType))
        return false;
    m_https->setTls(swapped);
    Q_EMIT event(QStringLiteral("key swapped"));
    return true;
}

void VirtualDevice::restoreKey()
{
    m_https->setTls(m_startTls);
    Q_EMIT event(QStringLiteral("key original"));
}

void VirtualDevice::useKeyOf(const VirtualDevice& other)
{
    m_https->setTls(other.startTls());
    Q_EMIT event(QStringLiteral("key of %1").arg(other.config().id));
}
