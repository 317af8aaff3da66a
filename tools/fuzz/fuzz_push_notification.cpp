// libFuzzer target: arbitrary bytes as a pushed text message, handed to the
// notification subscriber once from the address of a known device and once
// from an address no device has. Checks the invariants every message must
// keep (built with ASan and UBSan as well): the verdict on the message agrees
// with a direct reading of its JSON, a dropped message changes nothing, only
// the parameters a push may carry ever change, the result is one the
// subscriber can give, and the same message gives the same result again.
#include "DeviceData.h"
#include "DeviceFacade.h"
#include "DeviceNotificationSubscriber.h"
#include "ResultCode.h"
#include "SettingsModel.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <array>
#include <cstdlib>

namespace {

const QString kDeviceIp = QStringLiteral("127.0.0.41");
const QString kDeviceId = QStringLiteral("02:00:00:00:00:41");
const QString kOtherId = QStringLiteral("02:00:00:00:00:42");

constexpr std::size_t kParameterCount = static_cast<std::size_t>(kLastDeviceParameter) + 1;
using Snapshot = std::array<QVariant, kParameterCount>;

void require(bool ok)
{
    if (!ok)
        abort();
}

bool mayChange(DeviceParameter parameter)
{
    switch (parameter) {
    case DeviceParameter::RunningStatus:
    case DeviceParameter::UpdateProgress:
    case DeviceParameter::UpdateResult:
    case DeviceParameter::ImportResult:
    case DeviceParameter::StandbyImageResult:
    case DeviceParameter::SubnetMask:
    case DeviceParameter::DefaultGateway:
    case DeviceParameter::DnsServer1:
    case DeviceParameter::DnsServer2:
    // The two aggregates hold the values above (and a derived status text).
    case DeviceParameter::AllNetworkSettings:
    case DeviceParameter::AllDeviceStatus:
        return true;
    default:
        return false;
    }
}

Snapshot snapshot(const DeviceFacade& facade)
{
    Snapshot values;
    for (std::size_t i = 0; i < kParameterCount; ++i)
        require(
            facade.getDeviceParameter(kDeviceId, static_cast<DeviceParameter>(i), values[i], DeviceFindPolicy::ById));
    return values;
}

// Only the parameters a push carries differ from `before`.
void requireOnlyPushParameters(const Snapshot& before, const Snapshot& after)
{
    for (std::size_t i = 0; i < kParameterCount; ++i)
        require(before[i] == after[i] || mayChange(static_cast<DeviceParameter>(i)));
}

bool isResult(int32_t result)
{
    return result == ResultCode::kSuccess || result == ResultCode::kFailure
           || result == SettingsModelResult::kSectionInvalid || result == SettingsModelResult::kNoRequestedKey
           || result == SettingsModelResult::kNotString || result == SettingsModelResult::kNotInteger;
}

bool isString(const QJsonObject& object, const char* name, const char* expected)
{
    const QJsonValue value = object.value(QLatin1String(name));
    return value.isString() && value.toString() == QLatin1String(expected);
}

// The acceptance rule read straight off the JSON.
bool expectedValid(const QString& message)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject top = document.object();
    if (top.keys() != QStringList{QStringLiteral("body"), QStringLiteral("command")})
        return false;
    if (!top.value(QLatin1String("body")).isObject() || !top.value(QLatin1String("command")).isObject())
        return false;
    const QJsonObject command = top.value(QLatin1String("command")).toObject();
    return command.keys() == QStringList{QStringLiteral("device"), QStringLiteral("type")}
           && isString(command, "type", "settings-notification") && isString(command, "device", "self");
}

struct Fixture
{
    Fixture()
    {
        facade.activateDevice(kDeviceIp, QStringLiteral("TQ-1"), QStringLiteral("hall"), kDeviceId);
        fresh = snapshot(facade);
    }

    // Back to the record as discovery made it, so inputs do not depend on
    // each other.
    void restore()
    {
        const Snapshot now = snapshot(facade);
        for (std::size_t i = 0; i < kParameterCount; ++i) {
            const auto parameter = static_cast<DeviceParameter>(i);
            if (now[i] != fresh[i] && parameter != DeviceParameter::AllDeviceStatus
                && parameter != DeviceParameter::AllNetworkSettings)
                facade.setDeviceParameter(kDeviceId, parameter, fresh[i], DeviceFindPolicy::ById);
        }
    }

    DeviceFacade facade;
    DeviceNotificationSubscriber subscriber{facade};
    Snapshot fresh;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture fixture;
    const QString message
        = QString::fromUtf8(QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));

    const bool valid = fixture.subscriber.isValidNotification(message);
    require(valid == expectedValid(message));

    const Snapshot before = snapshot(fixture.facade);
    const int32_t fromOther = fixture.subscriber.onReceivedTextMessage(kOtherId, message);
    require(isResult(fromOther));
    require(snapshot(fixture.facade) == before);

    const int32_t result = fixture.subscriber.onReceivedTextMessage(kDeviceId, message);
    require(isResult(result));
    // The record exists, so no store fails.
    require(result != ResultCode::kFailure);
    const Snapshot after = snapshot(fixture.facade);
    if (!valid) {
        require(result == DeviceNotificationSubscriber::kDropped
                && fromOther == DeviceNotificationSubscriber::kDropped);
        require(after == before);
    }
    requireOnlyPushParameters(before, after);
    // A section that fails does so whoever sent it; one that would store
    // fails for the unknown sender only.
    if (ResultCode::isFailure(result))
        require(fromOther == result || fromOther == ResultCode::kFailure);

    require(fixture.subscriber.onReceivedTextMessage(kDeviceId, message) == result);
    fixture.restore();
    return 0;
}
