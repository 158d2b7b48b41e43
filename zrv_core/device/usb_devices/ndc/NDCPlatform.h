/*
 * NDCPlatform.h - the bytes of the NDC adapter's protocol to and from its
 * character device, and the transaction they fill.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_NDC_PLATFORM_H
#define ZRV_CORE_DEVICE_USB_DEVICES_NDC_PLATFORM_H

#include <stdint.h>

#include <string>
#include <vector>

/* One request and its response. */
struct sNDCHeaderTransaction {
    static constexpr uint32_t oResponseSize = 512;
    std::vector<uint8_t> request;
    uint8_t response[oResponseSize] = {};
    uint32_t received = 0; /* response bytes taken so far */
};

class NDCPlatform {
public:
    virtual ~NDCPlatform() = default;
    /* At most `count` bytes into the response at `offset`, waiting up to
     * `wait_ms` for the first of them: the byte count, 0 when none came, or
     * -1. The caller keeps offset + count within the response. */
    virtual int Read(sNDCHeaderTransaction& transaction, int count, uint32_t offset, int wait_ms) = 0;
    /* Discards whatever is unread, then writes the whole request; a write
     * error is only a warning. */
    virtual void Write(sNDCHeaderTransaction& transaction) = 0;
};

class NDCLinux : public NDCPlatform {
public:
    /* Opens the device file read-write; throws when it cannot. */
    explicit NDCLinux(const std::string& file_name);
    ~NDCLinux() override;
    int Read(sNDCHeaderTransaction& transaction, int count, uint32_t offset, int wait_ms) override;
    void Write(sNDCHeaderTransaction& transaction) override;

private:
    void DiscardInput();

    int m_fd = -1;
    std::string m_fileName;
};

#endif
