#include "KxFirmwareUpdaterImpl.h"

#include "KxImplSharing.h"
#include "Logger.h"

#include <map>

namespace {

// What a device's update service would report, kept per device id for the
// life of the process.
struct FirmwareBackend
{
    QVariantMap options;
    QString updateStatusMessage;
    QVariantMap updateVersion{{QStringLiteral("Main"), QStringLiteral("TestVer1.2.x")},
                              {QStringLiteral("Sub"), QStringLiteral("TestVer3.4.y")},
                              {QStringLiteral("Boot"), QStringLiteral("TestVer5.6.z")}};
};

const FirmwareBackend& backend(const QString& deviceId)
{
    static std::map<QString, FirmwareBackend> backends;
    return backends[deviceId];
}

} // namespace

KxFirmwareUpdaterImpl::KxFirmwareUpdaterImpl(const QString& deviceId, QObject* parent)
    : KxFirmwareUpdaterAbstractImpl(parent)
    , m_deviceId(deviceId)
{
    CORVANE_LOG("[KxFirmwareUpdaterImpl] >>> Constructed.");
}

KxFirmwareUpdaterImpl::~KxFirmwareUpdaterImpl()
{
    CORVANE_LOG("[KxFirmwareUpdaterImpl] >>> Destructed.");
}

bool KxFirmwareUpdaterImpl::isAvailable() const
{
    return true;
}

QVariantMap KxFirmwareUpdaterImpl::options() const
{
    return backend(m_deviceId).options;
}

void KxFirmwareUpdaterImpl::setOptions(const QVariantMap& options)
{
    Q_UNUSED(options)
}

bool KxFirmwareUpdaterImpl::updateAvailable() const
{
    return true;
}

bool KxFirmwareUpdaterImpl::updating() const
{
    return false;
}

double KxFirmwareUpdaterImpl::updateProgress() const
{
    return 0.0;
}

double KxFirmwareUpdaterImpl::updateSize() const
{
    return 0.0;
}

void KxFirmwareUpdaterImpl::update()
{
}

void KxFirmwareUpdaterImpl::cancelUpdate()
{
}

QString KxFirmwareUpdaterImpl::updateStatusMessage() const
{
    return backend(m_deviceId).updateStatusMessage;
}

QVariantMap KxFirmwareUpdaterImpl::updateVersion() const
{
    return backend(m_deviceId).updateVersion;
}

std::shared_ptr<KxFirmwareUpdaterAbstractImpl> KxFirmwareUpdaterImplFactory::createKxImpl(const QString& deviceId)
{
    if (deviceId.isEmpty())
        return nullptr;
    return kxMakeImpl<KxFirmwareUpdaterAbstractImpl, KxFirmwareUpdaterImpl>(deviceId);
}
