#include "DeviceNotificationSubscriber.h"

#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DisplayModelData.h"
#include "NetworkDefine.h"
#include "NetworkModelData.h"
#include "ResultCode.h"
#include "SystemModelData.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>

#include <initializer_list>

namespace {

using SettingsFields::Field;

// The keys a push may carry per section. Version and serial number are read
// at login only, so a push cannot change them.
std::list<QString> keysOf(std::initializer_list<Field> fields)
{
    std::list<QString> keys;
    for (const Field field : fields)
        keys.push_back(SettingsFields::keyOf(field));
    return keys;
}

// The top-level object of `message`; false when it is not JSON or not an
// object.
bool parseObject(const QString& message, QJsonObject& object)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    object = document.object();
    return true;
}

bool takeStringMember(const QJsonObject& object, const char* name, const char* expected, QStringList& names)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (!value.isString() || value.toString() != QLatin1String(expected))
        return false;
    names.removeOne(QLatin1String(name));
    return true;
}

} // namespace

DeviceNotificationSubscriber::DeviceNotificationSubscriber(QObject* parent)
    : QObject(parent)
    , m_displayKeys(keysOf({Field::UploadIdleImageValid}))
    , m_systemKeys(keysOf({Field::DeviceStatus, Field::UpgradeStatus, Field::UpgradeResult, Field::ImportResult}))
    , m_networkKeys(keysOf({Field::Subnet, Field::Gateway, Field::Dns1, Field::Dns2}))
{
    using SettingsFields::Section;
    m_handlers.insert(SettingsFields::sectionKey(Section::Display),
                      [this](const QString& ip, const QJsonObject& body) { return setDisplayParameter(ip, body); });
    m_handlers.insert(SettingsFields::sectionKey(Section::System),
                      [this](const QString& ip, const QJsonObject& body) { return setSystemParameter(ip, body); });
    m_handlers.insert(SettingsFields::sectionKey(Section::Network),
                      [this](const QString& ip, const QJsonObject& body) { return setNetworkParameter(ip, body); });
}

DeviceNotificationSubscriber::DeviceNotificationSubscriber(DeviceFacade& facade, QObject* parent)
    : DeviceNotificationSubscriber(parent)
{
    m_facade = &facade;
}

DeviceNotificationSubscriber::~DeviceNotificationSubscriber() = default;

int DeviceNotificationSubscriber::initialize()
{
    return initialize(DeviceNotificationObserver::m_instance);
}

int DeviceNotificationSubscriber::initialize(DeviceNotificationObserver* observer)
{
    if (observer == nullptr)
        return -1;
    finalize();
    // Direct: the observer relays on the user-interface thread already, and
    // its messages of one device must be applied in the order they came.
    m_observerConnection = connect(observer, &DeviceNotificationObserver::receivedTextMessage, this,
                                   &DeviceNotificationSubscriber::onReceivedTextMessage, Qt::DirectConnection);
    return 0;
}

void DeviceNotificationSubscriber::finalize()
{
    disconnect(m_observerConnection);
    m_observerConnection = {};
}

DeviceFacade& DeviceNotificationSubscriber::facade()
{
    return m_facade ? *m_facade : DeviceFacade::getInstance();
}

int32_t DeviceNotificationSubscriber::onReceivedTextMessage(const QString& deviceId, const QString& message)
{
    if (!isValidNotification(message))
        return kDropped;
    return setParameter(deviceId, message);
}

bool DeviceNotificationSubscriber::isValidNotification(const QString& message) const
{
    QJsonObject object;
    if (!parseObject(message, object))
        return false;
    QStringList names = object.keys();
    if (!isValidCommand(object))
        return false;
    names.removeOne(QLatin1String(NetworkDefine::NOTIFY_JSON_COMMAND));
    if (!existBody(object))
        return false;
    names.removeOne(QLatin1String(NetworkDefine::NOTIFY_JSON_BODY));
    return names.isEmpty();
}

bool DeviceNotificationSubscriber::isValidCommand(const QJsonObject& object) const
{
    const QJsonValue command = object.value(QLatin1String(NetworkDefine::NOTIFY_JSON_COMMAND));
    if (!command.isObject())
        return false;
    const QJsonObject members = command.toObject();
    QStringList names = members.keys();
    if (!takeStringMember(members, NetworkDefine::NOTIFY_JSON_COMMAND_TYPE, NetworkDefine::NOTIFY_COMMAND_TYPE_SETTINGS,
                          names))
        return false;
    if (!takeStringMember(members, NetworkDefine::NOTIFY_JSON_COMMAND_DEVICE, NetworkDefine::NOTIFY_COMMAND_DEVICE_SELF,
                          names))
        return false;
    return names.isEmpty();
}

bool DeviceNotificationSubscriber::existBody(const QJsonObject& object) const
{
    return object.value(QLatin1String(NetworkDefine::NOTIFY_JSON_BODY)).isObject();
}

int32_t DeviceNotificationSubscriber::setParameter(const QString& deviceId, const QString& message)
{
    QJsonObject object;
    parseObject(message, object);
    const QJsonObject body = object.value(QLatin1String(NetworkDefine::NOTIFY_JSON_BODY)).toObject();
    // keys() is sorted, which gives the "display", "net", "sys" order.
    const QStringList sections = body.keys();
    DeviceParameterValues gathered;
    m_gathered = &gathered;
    int32_t result = ResultCode::kSuccess;
    for (const QString& section : sections) {
        const auto handler = m_handlers.constFind(section);
        if (handler == m_handlers.cend())
            continue;
        result = (*handler)(deviceId, body);
        if (ResultCode::isFailure(result))
            break;
    }
    m_gathered = nullptr;
    // A device sends its result and its idle state together, in any order
    // and in different sections: stored as one, the operation ends with the
    // result whatever the order.
    if (!gathered.isEmpty() && !facade().setDeviceParameters(deviceId, gathered, DeviceFindPolicy::ById))
        return ResultCode::kFailure;
    return result;
}

template <typename Model>
int32_t DeviceNotificationSubscriber::applySection(const QString& deviceId, const QJsonObject& body,
                                                   const std::list<QString>& keys)
{
    Model model(body);
    int32_t result = model.tryParse(keys);
    if (ResultCode::isFailure(result))
        return result;
    SettingsParameterList parameters;
    result = model.getAllParameters(parameters);
    if (ResultCode::isFailure(result))
        return result;
    DeviceParameterValues values;
    for (const auto& [parameter, value] : parameters)
        values.append({parameter, value});
    if (m_gathered != nullptr) {
        m_gathered->append(values);
        return ResultCode::kSuccess;
    }
    return facade().setDeviceParameters(deviceId, values, DeviceFindPolicy::ById) ? ResultCode::kSuccess
                                                                                  : ResultCode::kFailure;
}

int32_t DeviceNotificationSubscriber::setDisplayParameter(const QString& deviceId, const QJsonObject& body)
{
    return applySection<DisplayModelData>(deviceId, body, m_displayKeys);
}

int32_t DeviceNotificationSubscriber::setSystemParameter(const QString& deviceId, const QJsonObject& body)
{
    return applySection<SystemModelData>(deviceId, body, m_systemKeys);
}

int32_t DeviceNotificationSubscriber::setNetworkParameter(const QString& deviceId, const QJsonObject& body)
{
    return applySection<NetworkModelData>(deviceId, body, m_networkKeys);
}
