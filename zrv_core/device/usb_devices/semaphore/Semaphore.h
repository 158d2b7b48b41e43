/*
 * Semaphore.h - the named POSIX semaphore that serialises the adapters'
 * transactions across processes, when the adapter's environment variable
 * asks for it. One object serves the whole process (FactorySemaphoreOS).
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_SEMAPHORE_H
#define ZRV_CORE_DEVICE_USB_DEVICES_SEMAPHORE_H

#include <semaphore.h>

#include <exception>
#include <memory>
#include <string>

class BaseSemaphore {
public:
    virtual ~BaseSemaphore() = default;
    /* Opens (creating with the value 1 when missing) the semaphore `name`;
     * the integer is not used. 0 on success, 1 when errno is EEXIST, 2 for
     * any other failure: only results above 1 are failures. */
    virtual int semaphore_init(int, const std::string& name) = 0;
    /* Removes the name from the system; open handles stay usable. */
    virtual int semaphore_close() = 0;
    /* 0, or -1 on failure (also when no semaphore was opened). A taken
     * semaphore blocks every signal in the calling thread, from before the
     * wait until the thread gives its last semaphore back: a signal that
     * ended the process in between would leave the semaphore taken for every
     * later process. The wait for another holder is as interruptible as
     * sem_wait: a signal that sem_wait would let in ends it (-1, EINTR) or
     * acts and lets it go on (a stop, a handler with SA_RESTART). */
    virtual int semaphore_lock() = 0;
    virtual int semaphore_unlock() = 0;

    const std::string& GetName() const { return m_name; }

protected:
    std::string m_name;
};

class LinuxBaseSemaphore : public BaseSemaphore {
public:
    ~LinuxBaseSemaphore() override;
    int semaphore_init(int, const std::string& name) override;
    int semaphore_close() override;
    int semaphore_lock() override;
    int semaphore_unlock() override;

private:
    sem_t* m_semaphore = nullptr;
};

class SemaphoreException : public std::exception {};

class FactorySemaphoreOS {
public:
    virtual ~FactorySemaphoreOS() = default;
    /* The process-wide semaphore object, made on first use. It is deleted at
     * exit without closing or unlinking the system semaphore. */
    static std::unique_ptr<BaseSemaphore>& GetInstance();
    /* A new semaphore object owned by the caller. */
    static BaseSemaphore* create_semaphore();
    /* Deletes the object: 0, or 1 (with a line on standard output) for null. */
    static int destroy_semaphore(BaseSemaphore* semaphore);

    static std::unique_ptr<BaseSemaphore> m_poSemaphore;
};

#endif
