#include "tev-resources.h"

#include <QtGlobal>
#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerCorvaneResources() { Q_INIT_RESOURCE(corvane); }

namespace tev {
namespace resources {

void ensureRegistered() {
    static std::once_flag once;
    std::call_once(once, registerCorvaneResources);
}

}  // namespace resources
}  // namespace tev
