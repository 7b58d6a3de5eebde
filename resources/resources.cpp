#include "resources/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initAssets()
{
    Q_INIT_RESOURCE(assets);
}

namespace resources {
void init()
{
    initAssets();
}
} // namespace resources
