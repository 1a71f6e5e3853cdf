#include "agent-instances.h"

#include <dirent.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
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

std::string imageNameOf(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    char target[4096];
    const ssize_t length = readlink((proc + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        std::string path(target, static_cast<size_t>(length));
        if (path.size() > kDeletedSuffix.size() &&
            path.compare(path.size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) == 0) {
            path.resize(path.size() - kDeletedSuffix.size());
        }
        return path.substr(path.rfind('/') + 1);
    }
    return readFirstLine(proc + "/comm");
}

// Alive: present and not a zombie (a zombie holds no sockets any more).
bool alive(pid_t pid) {
    char state = '?';
    unsigned long long ticks = 0;
    return readStat(pid, state, ticks) && state != 'Z' && state != 'X';
}

void pause(int milliseconds) {
    const timespec interval{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&interval, nullptr);
}

std::vector<pid_t> stillAlive(const std::vector<pid_t>& pids) {
    std::vector<pid_t> left;
    for (pid_t pid : pids) {
        if (alive(pid)) left.push_back(pid);
    }
    return left;
}

// Polls every 20 ms until none of `pids` is alive or `waitMs` has passed.
std::vector<pid_t> waitUntilEnded(std::vector<pid_t> pids, int waitMs) {
    for (int waited = 0; !(pids = stillAlive(pids)).empty() && waited < waitMs; waited += 20) pause(20);
    return pids;
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
        if (!ownedByThisUser(pid) || imageNameOf(pid) != imageName) continue;
        found.push_back(instance);
    }
    closedir(proc);
    return found;
}

bool earlierInstanceRuns(const std::string& imageName) {
    char state = '?';
    unsigned long long ownTicks = 0;
    if (!readStat(getpid(), state, ownTicks)) return !runningOfThisUser(imageName).empty();
    for (const Instance& other : runningOfThisUser(imageName)) {
        if (other.startTicks < ownTicks || (other.startTicks == ownTicks && other.pid < getpid())) return true;
    }
    return false;
}

std::vector<pid_t> endAll(const std::string& imageName, int termWaitMs, int killWaitMs) {
    std::vector<pid_t> pids;
    for (const Instance& instance : runningOfThisUser(imageName)) {
        if (kill(instance.pid, SIGTERM) == 0 || errno != ESRCH) pids.push_back(instance.pid);
    }
    pids = waitUntilEnded(pids, termWaitMs);
    for (pid_t pid : pids) kill(pid, SIGKILL);
    return waitUntilEnded(pids, killWaitMs);
}

}  // namespace instances
}  // namespace corvane
