#include "AlertNotifier.h"

#include "Logger.h"
#include "ResultCode.h"

#include <QString>

std::atomic<AlertNotifier*> AlertNotifier::m_instance{nullptr};

int AlertNotifier::initialize()
{
    if (m_instance.load() == nullptr)
        m_instance.store(new AlertNotifier);
    return 0;
}

void AlertNotifier::finalize()
{
    delete m_instance.exchange(nullptr);
}

void AlertNotifier::notify(unsigned int code)
{
    AlertNotifier* instance = m_instance.load();
    if (instance == nullptr) {
        CORVANE_LOG(QStringLiteral("alert %1 dropped: no notifier").arg(ResultCode::toHex(static_cast<int32_t>(code))));
        return;
    }
    Q_EMIT instance->notifyAlert(code);
}

AlertNotifier* AlertNotifier::getInstance()
{
    return m_instance.load();
}
