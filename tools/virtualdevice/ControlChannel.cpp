#include "ControlChannel.h"

#include "HttpsServer.h"
#include "PaddedJson.h"
#include "PushHub.h"
#include "VirtualDevice.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QUrl>

#include <unistd.h>

namespace {

constexpr qsizetype kMaxLine = 64 * 1024;
constexpr int kMaxRebootMs = 600000;

// "normal" (0) or a final HTTP status (200 to 599).
bool parseAnswerStatus(const QString& text, int& status)
{
    if (text == QLatin1String("normal")) {
        status = 0;
        return true;
    }
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 200 || value > 599)
        return false;
    status = value;
    return true;
}

QByteArray malformedMessage(const QString& kind, bool& binary, bool& known)
{
    known = true;
    binary = false;
    const QByteArray busy = QByteArrayLiteral("{\"sys\":{\"device-status\":1}}");
    if (kind == QLatin1String("json"))
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"self\"},\"body\":" + busy;
    if (kind == QLatin1String("extra-member"))
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"self\",\"seq\":1},\"body\":" + busy + "}";
    if (kind == QLatin1String("type-case"))
        return "{\"command\":{\"type\":\"Settings-Notification\",\"device\":\"self\"},\"body\":" + busy + "}";
    if (kind == QLatin1String("device"))
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"other\"},\"body\":" + busy + "}";
    if (kind == QLatin1String("body"))
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"self\"},\"body\":[1]}";
    if (kind == QLatin1String("top-level"))
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"self\"},\"body\":" + busy
               + ",\"extra\":0}";
    if (kind == QLatin1String("value"))
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"self\"},\"body\":{\"sys\":{\"device-"
               "status\":\"1\"}}}";
    if (kind == QLatin1String("binary")) {
        binary = true;
        return "{\"command\":{\"type\":\"settings-notification\",\"device\":\"self\"},\"body\":" + busy + "}";
    }
    known = false;
    return QByteArray();
}

} // namespace

ControlChannel::ControlChannel(const QList<VirtualDevice*>& devices, QObject* parent)
    : QObject(parent)
    , m_devices(devices)
{
}

QString ControlChannel::helpText()
{
    return QStringLiteral(
        "commands (<dev> is a device id, address or MAC address, or all):\n"
        "  list | show <dev> | help | quit\n"
        "  state <dev> idle|busy|in-call\n"
        "  reboot <dev>\n"
        "  push-rate <dev> <ms>|off\n"
        "  set <dev> name|model|password|version|serial|subnet|gateway|dns1|dns2 <value> (name: may be empty)\n"
        "  set <dev> claim <IPv4>|off (the address its discovery answers claim)\n"
        "  fault <dev> lndp on|off\n"
        "  fault <dev> broadcast deaf|normal\n"
        "  fault <dev> connect normal|refuse|drop|stall-tls\n"
        "  fault <dev> push normal|refuse|stall\n"
        "  fault <dev> pings on|off\n"
        "  fault <dev> upload normal|403|500\n"
        "  fault <dev> result-first on|off\n"
        "  fault <dev> finish normal|result-then-idle|idle-then-result|together|together-idle-first\n"
        "  fault <dev> key swap|original|<other dev>\n"
        "  fault <dev> throttle <bytes per second, k/m suffix>|off\n"
        "  fault <dev> update-result 0|1|2\n"
        "  fault <dev> import-result auto|<code>\n"
        "  fault <dev> version on|off\n"
        "  fault <dev> auth-status normal|<status>\n"
        "  fault <dev> settings-status normal|close|<status>\n"
        "  fault <dev> settings-drop normal|sys|display|net\n"
        "  fault <dev> vanish-after-auth on|off\n"
        "  fault <dev> request normal|stall\n"
        "  fault <dev> redirect off|<absolute URL>\n"
        "  fault <dev> settings-size normal|<bytes, k/m suffix, up to 64m>\n"
        "  fault <dev> reboot-ms <ms>\n"
        "  fault <dev> clear (back to the faults the device started with)\n"
        "  push <dev> close|drop\n"
        "  push <dev> malformed json|extra-member|type-case|device|body|top-level|value|binary\n"
        "  push <dev> oversize <bytes, k/m suffix, up to 64m>\n"
        "  push <dev> notify <JSON body> | push <dev> raw <text>");
}

bool ControlChannel::listen(const QString& path, QString& error)
{
    m_server = new QLocalServer(this);
    QLocalServer::removeServer(path);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        error = QStringLiteral("cannot listen on control socket %1: %2").arg(path, m_server->errorString());
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                while (client->canReadLine()) {
                    const QString line = QString::fromUtf8(client->readLine()).trimmed();
                    for (const QString& reply : execute(line))
                        client->write(reply.toUtf8() + '\n');
                }
                if (client->bytesAvailable() > kMaxLine) {
                    client->write("error line too long\n");
                    client->disconnectFromServer();
                }
            });
        }
    });
    return true;
}

void ControlChannel::readStandardInput()
{
    m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdin, &QSocketNotifier::activated, this, &ControlChannel::onStdin);
}

void ControlChannel::onStdin()
{
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        // End of input: the controlling side has gone; keep running on the
        // local socket if there is one, else stop reading.
        m_stdin->setEnabled(false);
        return;
    }
    m_stdinBuffer.append(buffer, n);
    qsizetype newline;
    while ((newline = m_stdinBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_stdinBuffer.left(newline)).trimmed();
        m_stdinBuffer.remove(0, newline + 1);
        for (const QString& reply : execute(line))
            Q_EMIT output(reply);
    }
    if (m_stdinBuffer.size() > kMaxLine) {
        m_stdinBuffer.clear();
        Q_EMIT output(QStringLiteral("error line too long"));
    }
}

QList<VirtualDevice*> ControlChannel::select(const QString& which, QString& error) const
{
    if (which == QLatin1String("all"))
        return m_devices;
    for (VirtualDevice* device : m_devices) {
        const DeviceConfig& config = device->config();
        if (which == config.id || which == config.address.toString()
            || which.compare(DeviceConfigParser::macText(config.mac), Qt::CaseInsensitive) == 0)
            return {device};
    }
    error = QStringLiteral("no device \"%1\"").arg(which);
    return {};
}

QStringList ControlChannel::execute(const QString& line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {QStringLiteral("error empty command")};
    const QString verb = words.first();
    if (verb == QLatin1String("help"))
        return helpText().split(QLatin1Char('\n')) << QStringLiteral("ok");
    if (verb == QLatin1String("quit")) {
        Q_EMIT quitRequested();
        return {QStringLiteral("ok")};
    }
    if (verb == QLatin1String("list")) {
        QStringList out;
        for (VirtualDevice* device : m_devices) {
            const DeviceConfig& c = device->config();
            out << QStringLiteral("device %1 %2 %3 %4 \"%5\" version=%6 status=%7 push=%8 https=%9")
                           .arg(c.id, c.address.toString(), DeviceConfigParser::macText(c.mac), c.model, c.name,
                                c.version, DeviceConfigParser::statusName(device->deviceStatus()))
                           .arg(device->pushHub()->channelCount())
                           .arg(device->httpsPort())
                       + QStringLiteral(" credentials=%1 sent=%2 push-rate=%3 power=%4")
                             .arg(device->credentialsSeen())
                             .arg(device->notificationsSent())
                             .arg(device->pushRate())
                             .arg(device->isRebooting() ? QStringLiteral("rebooting") : QStringLiteral("up"));
        }
        out << QStringLiteral("ok");
        return out;
    }
    if (words.size() < 2)
        return {QStringLiteral("error %1 needs a device").arg(verb)};
    QString error;
    const QList<VirtualDevice*> devices = select(words.at(1), error);
    if (devices.isEmpty())
        return {QStringLiteral("error ") + error};
    QStringList out;
    for (VirtualDevice* device : devices) {
        const QStringList reply = runOn(device, verb, words.mid(2), error);
        if (!error.isEmpty())
            return {QStringLiteral("error ") + error};
        out << reply;
    }
    out << (out.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok ") + out.takeLast());
    return out;
}

QStringList ControlChannel::runOn(VirtualDevice* device, const QString& verb, const QStringList& args, QString& error)
{
    if (verb == QLatin1String("show"))
        return {QString::fromUtf8(QJsonDocument(device->settingsDocument()).toJson(QJsonDocument::Compact))};
    if (verb == QLatin1String("state")) {
        int status = 0;
        if (args.size() != 1 || !DeviceConfigParser::parseStatus(args.first(), status)) {
            error = QStringLiteral("state needs idle, busy or in-call");
            return {};
        }
        device->setDeviceStatus(status);
        return {};
    }
    if (verb == QLatin1String("set")) {
        // A device may have no name at all; every other key needs a value.
        if (args.size() < 2 && !(args.size() == 1 && args.first() == QLatin1String("name"))) {
            error = QStringLiteral("set needs a key and a value");
            return {};
        }
        if (!device->setValue(args.first(), args.mid(1).join(QLatin1Char(' ')), error))
            return {};
        return {};
    }
    if (verb == QLatin1String("reboot")) {
        if (!args.isEmpty()) {
            error = QStringLiteral("reboot takes no arguments");
            return {};
        }
        device->reboot();
        return {};
    }
    if (verb == QLatin1String("push-rate")) {
        bool ok = false;
        const int ms = args.value(0).toInt(&ok);
        if (args.size() == 1 && args.first() == QLatin1String("off")) {
            device->setPushRate(0);
        } else if (args.size() == 1 && ok && ms >= 1 && ms <= 60000) {
            device->setPushRate(ms);
        } else {
            error = QStringLiteral("push-rate needs an interval of 1 to 60000 ms or off");
        }
        return {};
    }
    if (verb == QLatin1String("fault")) {
        const QString reply = fault(device, args, error);
        return reply.isEmpty() ? QStringList() : QStringList{reply};
    }
    if (verb == QLatin1String("push")) {
        // The text after "push <dev> <kind>" is kept as typed.
        const QString reply = push(device, args, args.mid(1).join(QLatin1Char(' ')), error);
        return reply.isEmpty() ? QStringList() : QStringList{reply};
    }
    error = QStringLiteral("unknown command \"%1\" (try help)").arg(verb);
    return {};
}

QString ControlChannel::fault(VirtualDevice* device, const QStringList& args, QString& error)
{
    DeviceFaults& faults = device->faults();
    const QString what = args.value(0);
    const QString value = args.value(1);
    if (what == QLatin1String("clear") && args.size() == 1) {
        device->clearFaults();
        return QString();
    }
    if (args.size() != 2) {
        error = QStringLiteral("fault needs a kind and a value (try help)");
        return QString();
    }
    const auto onOff = [&](bool& target, bool onMeans) {
        if (value != QLatin1String("on") && value != QLatin1String("off")) {
            error = QStringLiteral("%1 needs on or off").arg(what);
            return;
        }
        target = (value == QLatin1String("on")) == onMeans;
    };
    if (what == QLatin1String("lndp")) {
        onOff(faults.lndpSilent, false);
    } else if (what == QLatin1String("connect")) {
        if (value == QLatin1String("normal"))
            device->applyConnectFault(DeviceFaults::Connect::Normal);
        else if (value == QLatin1String("refuse"))
            device->applyConnectFault(DeviceFaults::Connect::Refuse);
        else if (value == QLatin1String("drop"))
            device->applyConnectFault(DeviceFaults::Connect::Drop);
        else if (value == QLatin1String("stall-tls"))
            device->applyConnectFault(DeviceFaults::Connect::StallTls);
        else
            error = QStringLiteral("connect needs normal, refuse, drop or stall-tls");
    } else if (what == QLatin1String("push")) {
        if (value == QLatin1String("normal"))
            faults.push = DeviceFaults::Push::Normal;
        else if (value == QLatin1String("refuse"))
            faults.push = DeviceFaults::Push::Refuse403;
        else if (value == QLatin1String("stall"))
            faults.push = DeviceFaults::Push::Stall;
        else
            error = QStringLiteral("push needs normal, refuse or stall");
    } else if (what == QLatin1String("pings")) {
        onOff(faults.pingsUnanswered, false);
        if (error.isEmpty())
            device->pushHub()->setPingsAnswered(!faults.pingsUnanswered);
    } else if (what == QLatin1String("upload")) {
        if (value == QLatin1String("normal"))
            faults.uploadStatus = 0;
        else if (value == QLatin1String("403") || value == QLatin1String("500"))
            faults.uploadStatus = value.toInt();
        else
            error = QStringLiteral("upload needs normal, 403 or 500");
    } else if (what == QLatin1String("result-first")) {
        onOff(faults.resultFirst, true);
    } else if (what == QLatin1String("finish")) {
        if (!DeviceConfigParser::parseFinish(value, faults.finish))
            error = QStringLiteral(
                "finish needs normal, result-then-idle, idle-then-result, together or together-idle-first");
    } else if (what == QLatin1String("key")) {
        // Another key for the connections from now on: a replaced device, or
        // an impostor at its address.
        const QList<VirtualDevice*> other = value == QLatin1String("swap") || value == QLatin1String("original")
                                                ? QList<VirtualDevice*>()
                                                : select(value, error);
        if (value == QLatin1String("swap"))
            device->swapKey(error);
        else if (value == QLatin1String("original"))
            device->restoreKey();
        else if (other.size() == 1)
            device->useKeyOf(*other.first());
        else
            error = QStringLiteral("key needs swap, original or one other device");
    } else if (what == QLatin1String("throttle")) {
        if (!DeviceConfigParser::parseThrottle(value, faults.throttleBytesPerSecond))
            error = QStringLiteral("throttle needs a positive rate in bytes per second or off");
    } else if (what == QLatin1String("broadcast")) {
        if (!DeviceConfigParser::parseBroadcast(value, faults.broadcastDeaf))
            error = QStringLiteral("broadcast needs deaf or normal");
    } else if (what == QLatin1String("update-result")) {
        bool ok = false;
        const int result = value.toInt(&ok);
        if (ok && result >= 0 && result <= 2)
            faults.updateResult = result;
        else
            error = QStringLiteral("update-result needs 0, 1 or 2");
    } else if (what == QLatin1String("import-result")) {
        bool ok = false;
        const int result = value.toInt(&ok);
        if (value == QLatin1String("auto"))
            faults.importResult = -1;
        else if (ok && result >= 0 && result <= 0xFFFF)
            faults.importResult = result;
        else
            error = QStringLiteral("import-result needs auto or a code");
    } else if (what == QLatin1String("version")) {
        onOff(faults.reportVersion, true);
    } else if (what == QLatin1String("auth-status")) {
        if (!parseAnswerStatus(value, faults.authStatus))
            error = QStringLiteral("auth-status needs normal or a status 200 to 599");
    } else if (what == QLatin1String("settings-status")) {
        if (value == QLatin1String("close")) {
            faults.settingsClose = true;
            faults.settingsStatus = 0;
        } else if (parseAnswerStatus(value, faults.settingsStatus)) {
            faults.settingsClose = false;
        } else {
            error = QStringLiteral("settings-status needs normal, close or a status 200 to 599");
        }
    } else if (what == QLatin1String("settings-drop")) {
        if (value == QLatin1String("normal"))
            faults.settingsDrop.clear();
        else if (value == QLatin1String("sys") || value == QLatin1String("display") || value == QLatin1String("net"))
            faults.settingsDrop = value;
        else
            error = QStringLiteral("settings-drop needs normal, sys, display or net");
    } else if (what == QLatin1String("vanish-after-auth")) {
        onOff(faults.vanishAfterAuth, true);
    } else if (what == QLatin1String("request")) {
        if (value == QLatin1String("normal") || value == QLatin1String("stall"))
            faults.requestStall = value == QLatin1String("stall");
        else
            error = QStringLiteral("request needs normal or stall");
    } else if (what == QLatin1String("redirect")) {
        const QUrl url(value, QUrl::StrictMode);
        if (value == QLatin1String("off"))
            faults.redirect.clear();
        else if (url.isValid() && !url.scheme().isEmpty() && !url.host().isEmpty())
            faults.redirect = url.toEncoded();
        else
            error = QStringLiteral("redirect needs off or an absolute URL");
    } else if (what == QLatin1String("settings-size")) {
        qint64 size = 0;
        if (value == QLatin1String("normal"))
            faults.settingsSize = 0;
        else if (DeviceConfigParser::parseBytes(value, size) && size <= PaddedJson::kMaxSize)
            faults.settingsSize = size;
        else
            error = QStringLiteral("settings-size needs normal or 1 to %1 bytes").arg(PaddedJson::kMaxSize);
    } else if (what == QLatin1String("reboot-ms")) {
        bool ok = false;
        const int ms = value.toInt(&ok);
        if (ok && ms >= 0 && ms <= kMaxRebootMs)
            device->setRebootMs(ms);
        else
            error = QStringLiteral("reboot-ms needs 0 to %1").arg(kMaxRebootMs);
    } else {
        error = QStringLiteral("unknown fault \"%1\" (try help)").arg(what);
    }
    return QString();
}

QString ControlChannel::push(VirtualDevice* device, const QStringList& args, const QString& rest, QString& error)
{
    const QString what = args.value(0);
    PushHub* hub = device->pushHub();
    if (what == QLatin1String("close") && args.size() == 1)
        return QStringLiteral("closed=%1").arg(hub->closeAll());
    if (what == QLatin1String("drop") && args.size() == 1)
        return QStringLiteral("dropped=%1").arg(hub->dropAll());
    if (what == QLatin1String("raw") && !rest.isEmpty()) {
        hub->sendText(rest);
        return QStringLiteral("sent=%1").arg(hub->channelCount());
    }
    if (what == QLatin1String("notify") && !rest.isEmpty()) {
        QJsonParseError parseError;
        const QJsonDocument body = QJsonDocument::fromJson(rest.toUtf8(), &parseError);
        if (!body.isObject()) {
            error = QStringLiteral("notify needs a JSON object: %1").arg(parseError.errorString());
            return QString();
        }
        // As written: the order of its members is part of what is played.
        device->notifyText(rest.toUtf8());
        return QStringLiteral("sent=%1").arg(hub->channelCount());
    }
    if (what == QLatin1String("oversize") && args.size() == 2) {
        qint64 size = 0;
        const PaddedJson message
            = device->paddedNotification(DeviceConfigParser::parseBytes(args.at(1), size) ? size : 0);
        if (size > PaddedJson::kMaxSize || message.size() != size) {
            error = QStringLiteral("oversize needs %1 to %2 bytes").arg(message.size()).arg(PaddedJson::kMaxSize);
            return QString();
        }
        return QStringLiteral("sent=%1").arg(device->notifyPadded(message));
    }
    if (what == QLatin1String("malformed") && args.size() == 2) {
        bool binary = false;
        bool known = false;
        const QByteArray message = malformedMessage(args.at(1), binary, known);
        if (!known) {
            error = QStringLiteral("unknown malformed kind \"%1\" (try help)").arg(args.at(1));
            return QString();
        }
        if (binary)
            hub->sendBinary(message);
        else
            hub->sendText(QString::fromUtf8(message));
        return QStringLiteral("sent=%1").arg(hub->channelCount());
    }
    error = QStringLiteral("push needs close, drop, malformed <kind>, oversize <bytes>, notify <JSON> or raw <text>");
    return QString();
}
