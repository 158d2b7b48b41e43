/*
 * Semaphore.cpp - named POSIX semaphores for the adapters' transactions.
 */
#include "Semaphore.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <iostream>

#include "signal_hold.h"

std::unique_ptr<BaseSemaphore> FactorySemaphoreOS::m_poSemaphore;

namespace {

/* A signal that comes while the lock waits acts within one slice. */
const long oSliceNs = 10 * 1000 * 1000;

/* How many semaphores this thread has taken, and its signal mask before the
 * first. */
thread_local int t_taken;
thread_local sigset_t t_maskBefore;

/* Lets through again exactly the signals that `before` did not block. */
void UnblockAllBut(const sigset_t& before)
{
    sigset_t set;
    sigfillset(&set);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&before, sig) == 1) sigdelset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

/* Splits `watched` by what a pending signal does to sem_wait: `ending` ends
 * the process or runs a handler that does not restart calls, and the wait
 * fails; `resuming` (a default stop, a handler with SA_RESTART) acts and the
 * wait goes on. */
void SplitWatched(const sigset_t& watched, sigset_t* ending, sigset_t* resuming)
{
    sigemptyset(ending);
    sigemptyset(resuming);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action;
        if (sigismember(&watched, sig) != 1 || sigaction(sig, nullptr, &action) != 0) continue;
        const bool caught = (action.sa_flags & SA_SIGINFO) ||
                            (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
        const bool stops = sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
        sigaddset((caught ? (action.sa_flags & SA_RESTART) : stops) ? resuming : ending, sig);
    }
}

}  // namespace

LinuxBaseSemaphore::~LinuxBaseSemaphore()
{
    if (m_semaphore) sem_close(m_semaphore);
}

int LinuxBaseSemaphore::semaphore_init(int, const std::string& name)
{
    sem_t* semaphore = sem_open(name.c_str(), O_CREAT, 0600, 1);
    if (semaphore == SEM_FAILED) return errno == EEXIST ? 1 : 2;
    /* A second init (the other adapter kind) replaces the first semaphore:
     * its handle is of no further use. */
    if (m_semaphore) sem_close(m_semaphore);
    m_semaphore = semaphore;
    m_name = name;
    return 0;
}

int LinuxBaseSemaphore::semaphore_close()
{
    return sem_unlink(m_name.c_str());
}

/* Every signal is blocked before the wait, so none can slip in between the
 * semaphore taken and a holder's own block. The wait goes in slices: a
 * signal that was let through before and would act now ends it as it ends
 * sem_wait (the mask is put back so the signal is delivered, and the lock
 * fails with EINTR), or is let through and the wait goes on (a stop, a
 * handler with SA_RESTART). */
int LinuxBaseSemaphore::semaphore_lock()
{
    if (!m_semaphore) {
        errno = EINVAL;
        return -1;
    }
    sigset_t all, before, watched;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    sigemptyset(&watched);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&before, sig) == 0) sigaddset(&watched, sig);
    for (;;) {
        if (signal_pending_acts(&watched)) {
            sigset_t ending, resuming;
            SplitWatched(watched, &ending, &resuming);
            const bool interrupted = signal_pending_acts(&ending) != 0;
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            if (interrupted) {
                errno = EINTR;
                return -1;
            }
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
        }
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += oSliceNs;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_nsec -= 1000000000L;
            ++until.tv_sec;
        }
        if (sem_clockwait(m_semaphore, CLOCK_MONOTONIC, &until) == 0) break;
        if (errno != ETIMEDOUT && errno != EINTR) {
            const int error = errno;
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            errno = error;
            return -1;
        }
    }
    if (t_taken++ == 0) t_maskBefore = before;
    return 0;
}

/* The semaphore goes back first; then, when it was this thread's last one,
 * the signals held back since its lock are let through. */
int LinuxBaseSemaphore::semaphore_unlock()
{
    if (!m_semaphore) {
        errno = EINVAL;
        return -1;
    }
    const int rc = sem_post(m_semaphore);
    const int error = errno;
    if (t_taken > 0 && --t_taken == 0) UnblockAllBut(t_maskBefore);
    errno = error;
    return rc;
}

std::unique_ptr<BaseSemaphore>& FactorySemaphoreOS::GetInstance()
{
    if (!m_poSemaphore) m_poSemaphore.reset(new LinuxBaseSemaphore());
    return m_poSemaphore;
}

BaseSemaphore* FactorySemaphoreOS::create_semaphore()
{
    return new LinuxBaseSemaphore();
}

int FactorySemaphoreOS::destroy_semaphore(BaseSemaphore* semaphore)
{
    try {
        if (!semaphore) throw SemaphoreException();
        delete semaphore;
        return 0;
    } catch (const SemaphoreException&) {
        std::cout << "destroy_semaphore" << "is failed, error code:" << 1 << std::endl;
        return 1;
    }
}
