#include "MultipleLaunchChecker.h"

#include "MultipleLaunchCheckerImpl.h"
#include "MultipleLaunchCheckerImplFactory.h"

MultipleLaunchChecker* MultipleLaunchChecker::m_instance = nullptr;
std::mutex MultipleLaunchChecker::s_lifecycleMutex;

MultipleLaunchChecker::MultipleLaunchChecker(std::unique_ptr<MultipleLaunchCheckerImpl> impl)
    : m_impl(std::move(impl))
{
}

MultipleLaunchChecker::~MultipleLaunchChecker() = default;

int MultipleLaunchChecker::initialize()
{
    std::lock_guard<std::mutex> lock(s_lifecycleMutex);
    if (m_instance == nullptr)
        m_instance = new MultipleLaunchChecker(createPlatformLaunchCheckerImpl());
    return 0;
}

void MultipleLaunchChecker::finalize()
{
    std::lock_guard<std::mutex> lock(s_lifecycleMutex);
    delete m_instance;
    m_instance = nullptr;
}

bool MultipleLaunchChecker::alreadyLaunched()
{
    return m_impl != nullptr && m_impl->alreadyLaunched();
}
