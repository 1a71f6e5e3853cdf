// The running instances of a program of this user, found by image name.
//
// corvane-service serves one port for the whole user: a second instance can
// only fail to bind it, and an earlier one left running after its binary was
// rebuilt would go on answering pages with old code. corvane-universal
// therefore ends the earlier corvane-service processes before it starts its
// own, and corvane-service steps aside when another one already runs.
//
// The image name of a process is the file name of its executable
// (/proc/<pid>/exe, " (deleted)" taken off when the binary was replaced or
// removed), or its command name where the link cannot be read. Only processes
// of the caller's real user count; zombies count as ended (their sockets are
// closed), and the calling process never counts.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

namespace corvane {
namespace instances {

struct Instance {
    pid_t pid = 0;
    unsigned long long startTicks = 0;  // clock ticks after boot at which it started
};

// Every live process of this user, other than the caller, whose image name is `imageName`.
std::vector<Instance> runningOfThisUser(const std::string& imageName);

// True when an instance named `imageName` runs that started before the
// caller (or in the same tick with a lower PID): of two started at once,
// exactly one steps aside.
bool earlierInstanceRuns(const std::string& imageName);

// Ends every instance named `imageName` (SIGTERM, then SIGKILL to those still
// alive after `termWaitMs`) and waits until each has ended, at most
// `termWaitMs + killWaitMs` in all. Returns the PIDs still alive at the end
// (empty when all ended).
std::vector<pid_t> endAll(const std::string& imageName, int termWaitMs = 5000, int killWaitMs = 5000);

}  // namespace instances
}  // namespace corvane
