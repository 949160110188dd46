#include "assets/Assets.h"

#include <QtGlobal>

#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerBuiltinResources()
{
    Q_INIT_RESOURCE(builtin);
}

namespace qav {

void initAssets()
{
    static std::once_flag once;
    std::call_once(once, registerBuiltinResources);
}

} // namespace qav
