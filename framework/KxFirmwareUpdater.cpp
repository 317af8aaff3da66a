#include "KxFirmwareUpdater.h"

#include "KxFirmwareUpdaterAbstractImpl.h"
#include "KxFirmwareUpdaterService.h"
#include "KxFront.h"

KxFirmwareUpdater::KxFirmwareUpdater(QObject* parent)
    : QObject(parent)
{
}

KxFirmwareUpdater::~KxFirmwareUpdater()
{
    kxDetach(this, m_impl);
}

void KxFirmwareUpdater::setDeviceID(const QString& deviceId)
{
    using Impl = KxFirmwareUpdaterAbstractImpl;
    const auto attach = [this] {
        kxAttach(
            this, m_impl, [this] { return KxFirmwareUpdaterService::implementation(m_deviceId); },
            [this](Impl* impl) {
                connect(impl, &Impl::deviceIDChanged, this, &KxFirmwareUpdater::deviceIDChanged);
                connect(impl, &Impl::availableChanged, this, &KxFirmwareUpdater::availableChanged);
                connect(impl, &Impl::optionsChanged, this, &KxFirmwareUpdater::optionsChanged);
                connect(impl, &Impl::updateStatusMessageChanged, this, &KxFirmwareUpdater::updateStatusMessageChanged);
                connect(impl, &Impl::updateVersionChanged, this, &KxFirmwareUpdater::updateVersionChanged);
                connect(impl, &Impl::updateAvailableChanged, this, &KxFirmwareUpdater::updateAvailableChanged);
                connect(impl, &Impl::updatingChanged, this, &KxFirmwareUpdater::updatingChanged);
                connect(impl, &Impl::updateStarted, this, &KxFirmwareUpdater::updateStarted);
                connect(impl, &Impl::updateFinished, this, &KxFirmwareUpdater::updateFinished);
            });
    };
    kxSetKey(this, m_deviceId, deviceId, attach, &KxFirmwareUpdater::deviceIDChanged,
             &KxFirmwareUpdater::availableChanged, &KxFirmwareUpdater::optionsChanged,
             &KxFirmwareUpdater::updateStatusMessageChanged, &KxFirmwareUpdater::updateVersionChanged,
             &KxFirmwareUpdater::updateAvailableChanged, &KxFirmwareUpdater::updatingChanged);
}

bool KxFirmwareUpdater::isAvailable() const
{
    return m_impl ? m_impl->isAvailable() : false;
}

QVariantMap KxFirmwareUpdater::options() const
{
    return m_impl ? m_impl->options() : QVariantMap();
}

void KxFirmwareUpdater::setOptions(const QVariantMap& options)
{
    if (m_impl)
        m_impl->setOptions(options);
}

bool KxFirmwareUpdater::updateAvailable() const
{
    return m_impl ? m_impl->updateAvailable() : false;
}

bool KxFirmwareUpdater::updating() const
{
    return m_impl ? m_impl->updating() : false;
}

double KxFirmwareUpdater::updateProgress() const
{
    return m_impl ? m_impl->updateProgress() : -1.0;
}

double KxFirmwareUpdater::updateSize() const
{
    return m_impl ? m_impl->updateSize() : -1.0;
}

QString KxFirmwareUpdater::updateStatusMessage() const
{
    return m_impl ? m_impl->updateStatusMessage() : QString();
}

QVariantMap KxFirmwareUpdater::updateVersion() const
{
    return m_impl ? m_impl->updateVersion() : QVariantMap();
}

void KxFirmwareUpdater::update()
{
    if (m_impl)
        m_impl->update();
}

void KxFirmwareUpdater::cancelUpdate()
{
    if (m_impl)
        m_impl->cancelUpdate();
}
