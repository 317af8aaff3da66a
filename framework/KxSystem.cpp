#include "KxSystem.h"

#include "KxSystemAbstractImpl.h"
#include "KxSystemService.h"
#include "Logger.h"

KxSystem::KxSystem(QObject* parent)
    : QObject(parent)
    , m_impl(KxSystemService::implementation())
{
    if (!m_impl) {
        CORVANE_LOG("[KxSystem::KxSystem] >>> pImpl is nullptr");
        return;
    }
    connect(m_impl.get(), &KxSystemAbstractImpl::databaseRefreshed, this, &KxSystem::databaseRefreshed);
    connect(m_impl.get(), &KxSystemAbstractImpl::statusChanged, this, &KxSystem::statusChanged);
    connect(m_impl.get(), &KxSystemAbstractImpl::eventReceived, this, &KxSystem::eventReceived);
}

KxSystem::~KxSystem() = default;

KxSystemStatus::Status KxSystem::status() const
{
    return m_impl ? m_impl->status() : KxSystemStatus::InvalidStatus;
}

QObject* KxSystem::journal() const
{
    return m_impl ? m_impl->journal() : nullptr;
}

bool KxSystem::sendEvent(KxSystemEventID::ID eventID, const QVariantMap& options)
{
    const std::shared_ptr<KxSystemAbstractImpl> impl = m_impl;
    return impl ? impl->sendEvent(eventID, options) : false;
}
