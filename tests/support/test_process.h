/*
 * test_process.h - runs a program as a child process and captures what it
 * wrote to standard output and standard error, byte for byte, and how it
 * ended. The child can be started under another argv[0], with changes to the
 * environment, in another directory, or as an unprivileged user.
 */
#ifndef VEXIL_TEST_PROCESS_H
#define VEXIL_TEST_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test_process {

struct options {
    std::string argv0;                                      /* empty: the program path */
    std::vector<std::pair<std::string, std::string>> env;   /* set in the child */
    std::vector<std::string> unset_env;                     /* removed in the child */
    std::string cwd;                                        /* empty: stay */
    bool drop_privileges = false;                           /* run as uid/gid below */
    uid_t uid = 65534;
    gid_t gid = 65534;
    int timeout_seconds = 30;                               /* then the child is killed */
    int signal = 0;                                         /* sent to the child ... */
    std::function<bool()> signal_when;                      /* ... once this says so (asked as it runs) */
    std::function<void(pid_t)> started;                     /* told the child's pid as it starts */
    bool out_unread = false;  /* standard output is a pipe nobody reads (as `| true` leaves it) */
    bool err_to_out = false;  /* standard error goes where standard output goes (`2>&1`) */
};

struct result {
    std::string out;
    std::string err;
    int exit_status = -1; /* exit status, or -1 when the child did not exit */
    int signal = 0;       /* the signal that ended the child, or 0 */
    bool timed_out = false;
};

/* Runs `program` with `args` (argv[1] on) and waits for it. Throws
 * std::runtime_error when the child cannot be started. */
result run(const std::string& program, const std::vector<std::string>& args,
           const options& how = options());

} // namespace test_process

#endif
