// The limit on open descriptors of the process. Every connection holds one,
// and the usual desktop soft limit (1024) is far below what the system lets a
// process raise it to.
#pragma once

namespace corvane {

// Raises the soft limit on open descriptors to the hard limit; returns the
// soft limit in effect afterwards (unchanged when it cannot be raised).
long raiseDescriptorLimit();

}  // namespace corvane
