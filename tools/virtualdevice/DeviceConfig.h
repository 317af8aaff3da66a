#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// How an operation's result and the idle state after it go out: Normal as
// this device does (an update's result, then idle; an import's or an image's
// result alone), or as other devices do: in two pushes in either order, or in
// one push with either written first.
enum class FinishOrder { Normal, ResultThenIdle, IdleThenResult, Together, TogetherIdleFirst };

// What one virtual device is: its identity, its credentials and its network
// settings. Everything a device reports is derived from these values plus its
// run-time state (VirtualDevice).
struct DeviceConfig
{
    QString id; // short label used by the control channel ("d1")
    QHostAddress address; // IPv4 address every server of the device binds to
    QByteArray mac; // 6 bytes
    QString model;
    QString name;
    QString password;
    QString version;
    QString serial;
    QString subnet;
    QString gateway;
    QString dns1;
    QString dns2;
    int deviceStatus = 0; // 0 idle, 1 busy, 2 in a call
    // The address its discovery answers claim, as a forged answer does
    // (null: its own); its servers still bind to its own.
    QHostAddress claimedAddress;
    QString keyType = QStringLiteral("ec"); // its TLS key: ec (P-256), rsa (2048 bits) or ed25519
    // Faults the device starts with, and returns to on "fault <dev> clear".
    bool broadcastDeaf = false; // answer only discovery sent to the device's own address
    qint64 throttleBytesPerSecond = 0; // 0: read uploads at full speed
    FinishOrder finish = FinishOrder::Normal;
};

// Settings shared by every device of one process.
struct ProcessConfig
{
    QList<DeviceConfig> devices;
    quint16 lndpPort = 54330;
    quint16 httpsPort = 60010;
    int updateStepMs = 500; // interval between two installation-progress reports
    int updateStepPercent = 10; // progress added per report
    int rebootMs = 3000; // down time after a successful update, 0 for none
    QString controlSocket; // local control socket path, empty for none
    bool readStdin = true; // control commands on standard input
    bool verbose = false;
};

namespace DeviceConfigParser {

// An IPv4 address in dotted form.
bool parseIpv4(const QString& text, QHostAddress& out);
// Parses a MAC address "02:00:0a:d5:00:0a" (":" or "-" separated).
bool parseMac(const QString& text, QByteArray& mac);
QString macText(const QByteArray& mac);

// A device from a JSON object; missing members get defaults derived from the
// address and the index (an empty "name" stays empty). Returns false with a
// message for bad values.
bool fromJson(const QJsonObject& object, int index, DeviceConfig& out, QString& error);

// A device from "key=value,key=value" (the --device option); keys as in JSON.
bool fromKeyValues(const QString& text, int index, DeviceConfig& out, QString& error);

// The JSON configuration file: {"devices": [...], "lndpPort", "httpsPort",
// "updateStepMs", "updateStepPercent", "rebootMs"}.
bool fromFile(const QString& path, ProcessConfig& config, QString& error);

// count devices on consecutive addresses from first, alternating the two
// supported models and taking names from a fixed list, all with one password.
bool generate(int count, const QString& firstAddress, const QString& password, QList<DeviceConfig>& out,
              QString& error);

// Checks the whole set: unique ids, addresses and MAC addresses.
bool validate(const QList<DeviceConfig>& devices, QString& error);

QString statusName(int status);
bool parseStatus(const QString& text, int& status);

// A positive byte count, with a k or m suffix for KiB or MiB.
bool parseBytes(const QString& text, qint64& bytes);
// "off" (0) or a byte count per second, as parseBytes reads it.
bool parseThrottle(const QString& text, qint64& bytesPerSecond);
// "deaf" (true) or "normal" (false).
bool parseBroadcast(const QString& text, bool& deaf);
// normal, result-then-idle, idle-then-result, together or together-idle-first.
bool parseFinish(const QString& text, FinishOrder& finish);

} // namespace DeviceConfigParser
