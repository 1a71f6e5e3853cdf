/* A program that is not the agent, for the single-instance test: waits until a
 * signal ends it. Installed as "corvane-service-helper" its command name is
 * "corvane-service" (the kernel cuts it to 15 characters); "--non-dumpable"
 * turns dumping off, as setuid programs and programs with file capabilities
 * have it, which makes its /proc/<pid>/exe unreadable to the user's other
 * programs. A copy named "corvane-service" stands in for the agent that ends
 * on SIGTERM. */
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--non-dumpable") == 0 && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        perror("prctl(PR_SET_DUMPABLE)");
        return 1;
    }
    for (;;) pause();
}
