#include "AlertNotifier.h"

#include "Logger.h"

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
        CORVANE_LOG(QStringLiteral("alert 0x%1 dropped: no notifier").arg(code, 8, 16, QLatin1Char('0')));
        return;
    }
    Q_EMIT instance->notifyAlert(code);
}

AlertNotifier* AlertNotifier::getInstance()
{
    return m_instance.load();
}
