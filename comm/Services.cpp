#include "Services.h"

#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "Logger.h"

namespace {

Services s_services;
bool s_installed = false;

} // namespace

void Services::install(const Services& services)
{
    s_services = services;
    s_installed = true;
}

const Services& Services::process()
{
    if (!s_installed) {
        CORVANE_LOG("no services installed: the process-wide facade and access manager, no push sessions");
        s_services = {&DeviceFacade::getInstance(), nullptr, &HttpAccessManager::getInstance()};
        s_installed = true;
    }
    return s_services;
}
