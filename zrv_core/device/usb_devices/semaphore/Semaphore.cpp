/*
 * Semaphore.cpp - named POSIX semaphores for the adapters' transactions.
 */
#include "Semaphore.h"

#include <errno.h>
#include <fcntl.h>

#include <iostream>

std::unique_ptr<BaseSemaphore> FactorySemaphoreOS::m_poSemaphore;

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

int LinuxBaseSemaphore::semaphore_lock()
{
    if (!m_semaphore) {
        errno = EINVAL;
        return -1;
    }
    return sem_wait(m_semaphore);
}

int LinuxBaseSemaphore::semaphore_unlock()
{
    if (!m_semaphore) {
        errno = EINVAL;
        return -1;
    }
    return sem_post(m_semaphore);
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
