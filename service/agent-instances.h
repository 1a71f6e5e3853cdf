// The running instances of a program of this user, found by image name.
//
// corvane-service serves one port for the whole user: a second instance can
// only fail to bind it, and an earlier one left running after its binary was
// rebuilt would go on answering pages with old code. corvane-universal
// therefore ends the earlier corvane-service processes before it starts its
// own, and corvane-service steps aside when another one already runs.
//
// An instance is a live process (zombies hold no sockets any more) of the
// caller's real user, other than the caller, that
//   - runs a program file named `imageName`: the file name of /proc/<pid>/exe,
//     " (deleted)" taken off when the binary was replaced or removed. A
//     process whose link cannot be read is no instance: the link is
//     unreadable just for the user's non-dumpable programs (setuid, setgid,
//     file capabilities, dumping turned off), which the agent is not, and
//     the command name is no substitute, as the kernel cuts it to 15
//     characters, all of "corvane-service" and of any name that begins so;
//   - is in the caller's network namespace: the port that two instances
//     would both want belongs to it, so one in a container or a private test
//     namespace serves another 127.0.0.1 and is neither ended nor deferred to.
//     A process whose namespace cannot be read is no instance either.
// An instance is known by its PID and its start time together: once it has
// ended, its PID may go to another program, which is not the instance.
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

// Every instance named `imageName`.
std::vector<Instance> runningOfThisUser(const std::string& imageName);

// The PID of the instance named `imageName` that started first, when it
// started before the caller (or in the same tick with a lower PID); 0 when
// the caller is the first. Of two started at once, exactly one steps aside,
// and it can name the one that serves.
pid_t earlierInstance(const std::string& imageName);

// Ends every instance named `imageName` (SIGTERM, then SIGKILL to those still
// running after `termWaitMs`) and waits until each has ended, at most
// `termWaitMs + killWaitMs` in all. A signal only ever reaches the process
// found, never a later holder of its PID. Returns the PIDs of the instances
// still running at the end (empty when all ended).
std::vector<pid_t> endAll(const std::string& imageName, int termWaitMs = 5000, int killWaitMs = 5000);

}  // namespace instances
}  // namespace corvane
