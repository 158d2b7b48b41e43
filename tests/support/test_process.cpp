/*
 * test_process.cpp - child process runner for tests.
 */
#include "test_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace test_process {

namespace {

/* In the child after fork: only async-signal-safe calls, then exec or _exit. */
[[noreturn]] void start_child(const std::string& program, char* const* argv, char* const* envp,
                              const options& how, int out_fd, int err_fd)
{
    if (dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0)
        _exit(126);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0)
        _exit(126);
    if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0)
        _exit(126);
    if (how.drop_privileges) {
        if (setgroups(0, NULL) != 0 || setresgid(how.gid, how.gid, how.gid) != 0 ||
            setresuid(how.uid, how.uid, how.uid) != 0)
            _exit(126);
    }
    execve(program.c_str(), argv, envp);
    _exit(127);
}

/* The child's environment, made in the parent so that the child needs no
 * allocation, and without touching this process's own: runs started at once
 * from several threads each get theirs. */
std::vector<std::string> child_environment(const options& how)
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (eq) vars.emplace(std::string(*e, static_cast<size_t>(eq - *e)), eq + 1);
    }
    for (const auto& kv : how.env)
        vars[kv.first] = kv.second;
    for (const std::string& name : how.unset_env)
        vars.erase(name);
    std::vector<std::string> env;
    for (const auto& kv : vars)
        env.push_back(kv.first + "=" + kv.second);
    return env;
}

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

constexpr int kAskEveryMs = 2;

/* Reads both pipes until both are closed or the deadline passes; sends the
 * child the signal the options ask for once signal_when says so. */
bool drain(int out_fd, int err_fd, result& res, double deadline, pid_t pid, const options& how)
{
    bool signal_due = how.signal != 0 && how.signal_when;
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&res.out, &res.err};
    int open_count = (out_fd >= 0) + (err_fd >= 0);
    while (open_count > 0) {
        if (signal_due && how.signal_when()) {
            kill(pid, how.signal);
            signal_due = false;
        }
        int wait_ms = static_cast<int>((deadline - now_seconds()) * 1000);
        if (wait_ms <= 0)
            return false;
        if (signal_due)
            wait_ms = std::min(wait_ms, kAskEveryMs);
        int ready = poll(fds, 2, wait_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            throw std::runtime_error(std::string("poll: ") + strerror(errno));
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    return true;
}

} // namespace

result run(const std::string& program, const std::vector<std::string>& args, const options& how)
{
    std::vector<std::string> strings;
    strings.push_back(how.argv0.empty() ? program : how.argv0);
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(&s[0]);
    argv.push_back(NULL);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    }

    std::vector<std::string> env = child_environment(how);
    std::vector<char*> envp;
    for (std::string& s : env)
        envp.push_back(&s[0]);
    envp.push_back(NULL);

    /* Nobody reads a pipe whose read end is gone before the child exists. */
    if (how.out_unread) {
        close(out_pipe[0]);
        out_pipe[0] = -1;
    }
    const double started = now_seconds();
    pid_t pid = fork();
    if (pid == 0)
        start_child(program, argv.data(), envp.data(), how, out_pipe[1],
                    how.err_to_out ? out_pipe[1] : err_pipe[1]);
    int fork_errno = errno;

    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        if (out_pipe[0] >= 0)
            close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error(std::string("fork: ") + strerror(fork_errno));
    }

    if (how.started)
        how.started(pid);
    result res;
    const double deadline = started + how.timeout_seconds;
    bool finished = drain(out_pipe[0], how.err_to_out ? -1 : err_pipe[0], res, deadline, pid, how);
    if (out_pipe[0] >= 0)
        close(out_pipe[0]);
    close(err_pipe[0]);
    /* Without a pipe to read, the child's end is waited for within the same time. */
    int status = 0;
    pid_t ended = 0;
    while (finished && (ended = waitpid(pid, &status, WNOHANG)) == 0) {
        if (now_seconds() >= deadline)
            finished = false;
        else
            poll(nullptr, 0, kAskEveryMs);
    }
    if (!finished) {
        kill(pid, SIGKILL);
        res.timed_out = true;
    }
    while (ended <= 0 && (ended = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        res.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        res.signal = WTERMSIG(status);
    return res;
}

} // namespace test_process
