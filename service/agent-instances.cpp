#include "agent-instances.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvane {
namespace instances {

namespace {

const std::string kDeletedSuffix = " (deleted)";

std::string readFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The fields of /proc/<pid>/stat after the command name, which may itself
// hold spaces and parentheses: state is the first, start time the twentieth.
bool readStat(pid_t pid, char& state, unsigned long long& startTicks) {
    const std::string stat = readFirstLine("/proc/" + std::to_string(pid) + "/stat");
    const std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int index = 0; fields >> field; ++index) {
        if (index == 0) state = field.empty() ? '?' : field[0];
        if (index == 19) {
            startTicks = std::strtoull(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

bool ownedByThisUser(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream ids(line.substr(4));
            unsigned long realUid = 0;
            return (ids >> realUid) && realUid == static_cast<unsigned long>(getuid());
        }
    }
    return false;
}

// The target of a symbolic link, empty when it cannot be read.
std::string linkTarget(const std::string& path) {
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// The file name of the program the process runs; empty when its exe link
// cannot be read (the header says why the command name will not do).
std::string imageNameOf(pid_t pid) {
    std::string path = linkTarget("/proc/" + std::to_string(pid) + "/exe");
    if (path.size() > kDeletedSuffix.size() &&
        path.compare(path.size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) == 0) {
        path.resize(path.size() - kDeletedSuffix.size());
    }
    return path.substr(path.rfind('/') + 1);
}

bool inOwnNetworkNamespace(pid_t pid) {
    const std::string own = linkTarget("/proc/self/ns/net");
    return !own.empty() && linkTarget("/proc/" + std::to_string(pid) + "/ns/net") == own;
}

// True while the PID still holds the instance found: present, not a zombie,
// and started at the recorded tick (a later holder of the PID started later).
bool stillRuns(const Instance& instance) {
    char state = '?';
    unsigned long long ticks = 0;
    return readStat(instance.pid, state, ticks) && ticks == instance.startTicks && state != 'Z' && state != 'X';
}

bool startedBefore(const Instance& one, const Instance& other) {
    return one.startTicks < other.startTicks || (one.startTicks == other.startTicks && one.pid < other.pid);
}

// An instance to signal. A PID file descriptor (Linux 5.3 on) stays bound to
// the process it was opened for, so a signal through it cannot reach a later
// holder of the PID; where the kernel has none, the start time is checked
// right before each kill(), which leaves only the moment between the two.
struct Target {
    Instance instance;
    int pidfd = -1;
};

// The descriptor is opened before the start time is checked again: if the
// instance still runs once it is open, it is bound to the instance.
bool openTarget(const Instance& instance, Target& target) {
    target = Target{instance, -1};
#ifdef SYS_pidfd_open
    target.pidfd = static_cast<int>(syscall(SYS_pidfd_open, instance.pid, 0));
#endif
    if (stillRuns(instance)) return true;
    if (target.pidfd >= 0) close(target.pidfd);
    return false;
}

void sendSignal(const Target& target, int signal) {
#ifdef SYS_pidfd_send_signal
    if (target.pidfd >= 0) {
        syscall(SYS_pidfd_send_signal, target.pidfd, signal, nullptr, 0);
        return;
    }
#endif
    if (stillRuns(target.instance)) kill(target.instance.pid, signal);
}

void pause(int milliseconds) {
    const timespec interval{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&interval, nullptr);
}

bool anyRuns(const std::vector<Target>& targets) {
    for (const Target& target : targets) {
        if (stillRuns(target.instance)) return true;
    }
    return false;
}

// Polls every 20 ms until none of `targets` runs or `waitMs` has passed.
void waitUntilEnded(const std::vector<Target>& targets, int waitMs) {
    for (int waited = 0; anyRuns(targets) && waited < waitMs; waited += 20) pause(20);
}

}  // namespace

std::vector<Instance> runningOfThisUser(const std::string& imageName) {
    std::vector<Instance> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (number <= 0 || *end != '\0' || number == self) continue;
        const auto pid = static_cast<pid_t>(number);
        Instance instance{pid, 0};
        char state = '?';
        if (!readStat(pid, state, instance.startTicks) || state == 'Z' || state == 'X') continue;
        if (!ownedByThisUser(pid) || imageNameOf(pid) != imageName || !inOwnNetworkNamespace(pid)) continue;
        // Checked again: a program that took over the PID while the files
        // above were read is not the process they described.
        if (stillRuns(instance)) found.push_back(instance);
    }
    closedir(proc);
    return found;
}

pid_t earlierInstance(const std::string& imageName) {
    Instance self{getpid(), 0};
    char state = '?';
    // Where its own start time cannot be read, every other instance came first.
    if (!readStat(self.pid, state, self.startTicks)) self.startTicks = ULLONG_MAX;
    Instance first = self;
    for (const Instance& other : runningOfThisUser(imageName)) {
        if (startedBefore(other, first)) first = other;
    }
    return first.pid == self.pid ? 0 : first.pid;
}

std::vector<pid_t> endAll(const std::string& imageName, int termWaitMs, int killWaitMs) {
    std::vector<Target> targets;
    for (const Instance& instance : runningOfThisUser(imageName)) {
        Target target;
        if (openTarget(instance, target)) targets.push_back(target);
    }
    for (const Target& target : targets) sendSignal(target, SIGTERM);
    waitUntilEnded(targets, termWaitMs);
    for (const Target& target : targets) sendSignal(target, SIGKILL);
    waitUntilEnded(targets, killWaitMs);
    std::vector<pid_t> left;
    for (const Target& target : targets) {
        if (stillRuns(target.instance)) left.push_back(target.instance.pid);
        if (target.pidfd >= 0) close(target.pidfd);
    }
    return left;
}

}  // namespace instances
}  // namespace corvane
