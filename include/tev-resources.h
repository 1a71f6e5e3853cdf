// Access to the resources compiled into the engine (card database, client script).
#pragma once

namespace tev {
namespace resources {

// Registers the compiled-in resources with Qt's resource system. Idempotent;
// the engine calls it before reading ":/new/rs/...".
void ensureRegistered();

}  // namespace resources
}  // namespace tev
