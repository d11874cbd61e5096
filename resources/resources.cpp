#include "resources/resources.h"

#include <QtGlobal>

#include <mutex>

// Q_INIT_RESOURCE declares a function of the global namespace, so it must be used from one.
static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

void InitVeltrinResources()
{
    static std::once_flag once;
    std::call_once(once, registerResources);
}
