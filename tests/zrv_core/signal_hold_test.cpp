// The hold over the signals that end or stop a run: per holder and per thread, what it lets
// through at the end, and which waiting signals cut a wait made under it. Every case runs in a
// forked child, whose signal mask and dispositions it may change freely.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "signal_hold.h"

namespace {

bool blocked(int sig) {
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, sig) == 1;
}

// Runs `body` in a forked child and returns its wait status (the child's own exit code names the
// check that failed). A child that stops is counted in `stops` and continued.
int in_child(void (*body)(), int* stops = nullptr) {
  pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  for (;;) {
    if (waitpid(child, &status, WUNTRACED) != child) return -1;
    if (!WIFSTOPPED(status)) return status;
    if (stops) ++*stops;
    kill(child, SIGCONT);
  }
}

// Holds over the ending signals nest across holders, count once per holder, and let through only
// what they blocked: a signal blocked before the first hold stays blocked, a pending one is
// delivered when the last hold is given back.
TEST(SignalHold, NestsAndRestoresOnlyWhatItBlocked) {
  const int status = in_child([] {
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    sigprocmask(SIG_BLOCK, &hup, nullptr);  // the process's own choice, before any hold
    signal_hold first = {}, second = {};
    signal_hold_take(&first);
    signal_hold_take(&first);  // counts once
    signal_hold_take(&second);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGTSTP, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                    SIGRTMIN, SIGRTMAX})
      if (!blocked(sig)) _exit(10);
    if (blocked(SIGSEGV) || blocked(SIGCHLD)) _exit(14);  // a fault acts at once; SIGCHLD ends nothing
    signal_hold_give(&first);
    signal_hold_give(&first);  // nothing left to give
    if (!blocked(SIGTERM)) _exit(11);
    signal_hold_give(&second);
    if (blocked(SIGINT) || blocked(SIGTERM) || blocked(SIGTTOU) || blocked(SIGPIPE) || blocked(SIGRTMIN) ||
        !blocked(SIGHUP))
      _exit(12);
    signal_hold_take(&first);
    raise(SIGTERM);            // held back ...
    signal_hold_give(&first);  // ... and delivered here
    _exit(13);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A debug line written under a hold to a pipe whose reader is gone (`2>&1 | head`) fails with
// EPIPE; its SIGPIPE ends the run at the release, not with the lock taken.
int released_fd = -1;  // the child says here that it reached the release

TEST(SignalHold, APipeClosedUnderAHoldEndsTheRunAtTheRelease) {
  int released[2];
  ASSERT_EQ(pipe(released), 0);
  released_fd = released[1];
  const int status = in_child([] {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) _exit(15);
    close(pipe_fds[0]);
    signal_hold hold = {};
    signal_hold_take(&hold);
    if (write(pipe_fds[1], "-D-\n", 4) != -1 || errno != EPIPE) _exit(16);
    if (!signal_hold_interrupted()) _exit(17);  // cuts a wait made meanwhile
    if (write(released_fd, "r", 1) != 1) _exit(18);
    signal_hold_give(&hold);
    _exit(19);
  });
  close(released[1]);
  char byte = 0;
  EXPECT_EQ(read(released[0], &byte, 1), 1) << "ended before the release";
  close(released[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}

// Ctrl-Z while a lock is held stops the run only once the lock is given back.
TEST(SignalHold, AStopWaitsForTheRelease) {
  int stops = 0;
  const int status = in_child(
      [] {
        setpgid(0, 0);  // a group with its parent outside: stop signals are not discarded
        signal_hold hold = {};
        signal_hold_take(&hold);
        raise(SIGTSTP);
        // Still running: a stop during the hold would have been seen by the parent already,
        // and it would find the child stopped with the signal no longer pending.
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGTSTP) != 1) _exit(20);
        signal_hold_give(&hold);  // stops here, until the parent continues it
        _exit(21);
      },
      &stops);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 21);
  EXPECT_EQ(stops, 1);
}

// Two threads each holding a handle's lock: each holds back for itself, a signal aimed at a
// holding thread waits for that thread's release, and no thread keeps anything blocked afterwards.
TEST(SignalHold, EachThreadHoldsForItself) {
  const int status = in_child([] {
    std::mutex m;
    std::condition_variable cv;
    int step = 0;
    auto wait_for = [&](int n) {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return step >= n; });
    };
    auto go = [&](int n) {
      std::lock_guard<std::mutex> lock(m);
      step = n;
      cv.notify_all();
    };
    static volatile sig_atomic_t delivered;
    struct sigaction count = {};
    count.sa_handler = [](int) { delivered = delivered + 1; };
    sigaction(SIGTERM, &count, nullptr);
    int second_failed = 0;
    signal_hold first = {};
    std::thread other([&] {  // started first: a thread inherits its creator's mask
      signal_hold second = {};
      wait_for(1);
      signal_hold_take(&second);  // thread 2 holds too
      if (!blocked(SIGINT) || !blocked(SIGTERM)) second_failed = 1;
      pthread_kill(pthread_self(), SIGTERM);  // aimed at this holding thread: waits
      if (delivered) second_failed = 2;
      go(2);
      wait_for(3);               // thread 1 has given its hold back
      signal_hold_give(&second);  // ... and is delivered here
      if (delivered != 1) second_failed = 3;
      if (blocked(SIGINT) || blocked(SIGTERM)) second_failed = 4;
      go(4);
    });
    signal_hold_take(&first);  // thread 1 holds
    go(1);
    wait_for(2);
    signal_hold_give(&first);
    if (blocked(SIGINT) || blocked(SIGTERM)) _exit(30);
    go(3);
    wait_for(4);
    other.join();
    if (second_failed) _exit(30 + second_failed);
    if (blocked(SIGINT) || blocked(SIGTERM) || blocked(SIGTSTP)) _exit(39);
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Which waiting signals cut a wait made under a hold: only an ending signal that would end the
// run, never an ignored or caught one, a stop signal, one blocked before the hold, or any outside
// a hold.
TEST(SignalHold, OnlyAnEndingSignalWithItsDefaultActionCutsAWait) {
  const int status = in_child([] {
    signal(SIGHUP, SIG_IGN);  // as under nohup
    struct sigaction caught = {};
    caught.sa_handler = [](int) {};
    sigaction(SIGQUIT, &caught, nullptr);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);  // blocked by the process itself
    raise(SIGTERM);
    if (signal_hold_interrupted()) _exit(40);  // no hold
    signal_hold hold = {};
    signal_hold_take(&hold);
    raise(SIGHUP);
    raise(SIGQUIT);
    raise(SIGTSTP);
    if (signal_hold_interrupted()) _exit(41);
    raise(SIGINT);
    if (!signal_hold_interrupted()) _exit(42);
    signal(SIGINT, SIG_IGN);  // ignoring it discards it
    if (signal_hold_interrupted()) _exit(43);
    for (int sig : {SIGUSR2, SIGALRM, SIGRTMIN}) {
      raise(sig);
      if (!signal_hold_interrupted()) _exit(44);
      signal(sig, SIG_IGN);
    }
    signal(SIGTSTP, SIG_IGN);
    signal_hold_give(&hold);
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// What acts on delivery, for waits that block every signal themselves.
TEST(SignalHold, PendingSignalsThatWouldAct) {
  const int status = in_child([] {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raise(SIGCHLD);
    raise(SIGWINCH);
    raise(SIGPIPE);
    if (signal_pending_acts(&all)) _exit(50);
    raise(SIGALRM);
    sigset_t others;
    sigfillset(&others);
    sigdelset(&others, SIGALRM);
    if (signal_pending_acts(&others)) _exit(51);  // not watched
    if (!signal_pending_acts(&all)) _exit(52);
    signal(SIGALRM, SIG_IGN);
    if (signal_pending_acts(&all)) _exit(53);
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
