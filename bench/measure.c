/* Runs a program and reports its wall time and peak resident memory, as the
 * kernel accounts them for the child (ru_maxrss). Built static and tiny on
 * purpose: a forked child starts out with its parent's resident pages, so a
 * big launcher (Python, GNU time) would put its own size into the figure.
 *   measure DIR RUNS PROGRAM [ARG...]
 * runs PROGRAM RUNS times in DIR, one after another, and prints
 * "<mean seconds> <peak KiB> <last exit status> <mean context switches>
 *  <mean CPU seconds>"; the switches (voluntary and not) and the CPU time
 * (user and system) are the child's, all its threads included. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 4)
        return 2;
    int runs = atoi(argv[2]), status = 0;
    long peak = 0, switches = 0;
    double cpu = 0;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < runs; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(argv[1]) == 0)
                execv(argv[3], argv + 3);
            _exit(127);
        }
        struct rusage usage;
        if (wait4(pid, &status, 0, &usage) < 0)
            return 2;
        if (usage.ru_maxrss > peak)
            peak = usage.ru_maxrss;
        switches += usage.ru_nvcsw + usage.ru_nivcsw;
        cpu += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.9f %ld %d %ld %.6f\n", seconds / runs, peak, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
           switches / runs, cpu / runs);
    return 0;
}
