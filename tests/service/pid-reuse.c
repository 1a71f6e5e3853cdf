/* Hands the PID of a program that ends to an unrelated program at once, for
 * the single-instance test. As root in a private PID namespace:
 *
 *   pid-reuse UID GID SECONDS FIRST UNRELATED [ARG...]
 *
 * starts FIRST as UID:GID and prints "first <pid>"; once it has ended, starts
 * UNRELATED with the same PID (ns_last_pid set to one below it) as UID:GID and
 * prints "unrelated <pid>"; after SECONDS prints "survived" if it still runs
 * (and ends it), or "killed by signal <n>" / "exited <status>". */
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static pid_t startAs(uid_t uid, gid_t gid, char** command) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, NULL) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
        execv(command[0], command);
        _exit(127);
    }
    return pid;
}

static int nextPidWillBe(pid_t pid) {
    FILE* file = fopen("/proc/sys/kernel/ns_last_pid", "w");
    if (!file) return 0;
    const int written = fprintf(file, "%d", (int)pid - 1) > 0;
    return fclose(file) == 0 && written;
}

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: %s UID GID SECONDS FIRST UNRELATED [ARG...]\n", argv[0]);
        return 2;
    }
    const uid_t uid = (uid_t)atoi(argv[1]);
    const gid_t gid = (gid_t)atoi(argv[2]);
    const int seconds = atoi(argv[3]);
    char* first[] = {argv[4], NULL};
    setvbuf(stdout, NULL, _IOLBF, 0);

    const pid_t firstPid = startAs(uid, gid, first);
    if (firstPid < 0) return 1;
    printf("first %d\n", (int)firstPid);
    if (waitpid(firstPid, NULL, 0) != firstPid) return 1;
    if (!nextPidWillBe(firstPid)) {
        perror("ns_last_pid");
        return 1;
    }
    const pid_t unrelated = startAs(uid, gid, argv + 5);
    if (unrelated < 0) return 1;
    printf("unrelated %d\n", (int)unrelated);

    int status = 0;
    for (int waited = 0; waited < seconds * 10; ++waited) {
        if (waitpid(unrelated, &status, WNOHANG) == unrelated) {
            if (WIFSIGNALED(status)) printf("killed by signal %d\n", WTERMSIG(status));
            else printf("exited %d\n", WEXITSTATUS(status));
            return 0;
        }
        const struct timespec tenth = {0, 100000000L};
        nanosleep(&tenth, NULL);
    }
    printf("survived\n");
    kill(unrelated, SIGTERM);
    waitpid(unrelated, &status, 0);
    return 0;
}
