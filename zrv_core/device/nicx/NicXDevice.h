/*
 * NicXDevice.h - a NicX device served by another process on this machine
 * (names holding "nicx"), reached through a 16-byte mailbox in a shared file:
 * one CR-space dword per transaction, no access registers.
 */
#ifndef ZRV_CORE_DEVICE_NICX_DEVICE_H
#define ZRV_CORE_DEVICE_NICX_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "Device.h"

namespace zrv_core {

/* The mailbox file, shared with the serving process. */
extern const char* const oNicXMailboxPath;

/* The mailbox: four words in the machine's byte order. */
struct sNicXMailbox {
    uint32_t busy;      /* 1 while a request waits; the server clears it when done */
    uint32_t operation; /* eNicXOperation */
    uint32_t address;   /* CR-space address */
    uint32_t data;      /* the word to write; after a read, the word read */
};
static_assert(offsetof(sNicXMailbox, busy) == 0 && offsetof(sNicXMailbox, operation) == 4 &&
                  offsetof(sNicXMailbox, address) == 8 && offsetof(sNicXMailbox, data) == 12 &&
                  sizeof(sNicXMailbox) == 16,
              "the NicX mailbox is four 32-bit words");

enum eNicXOperation : uint32_t {
    eNicXRead = 0,
    eNicXWrite = 1,
};

class NicXDevice : public Device {
public:
    NicXDevice(const std::string& name, eCommunicationType type);

    /* One mailbox transaction of the first data word, whatever the length:
     * 4, or ZrvGeneralException when the mailbox file cannot be opened,
     * sized or mapped. Waits for the server without a time limit. */
    int Read(uint32_t address, uint32_t length, uint32_t* data) override;
    int Write(uint32_t address, uint32_t length, uint32_t* data) override;
    /* NicX carries no access registers: ZrvGeneralException. */
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

private:
    int SendTransaction(uint32_t address, uint32_t length, uint32_t* data,
                        eNicXOperation operation);
};

}  // namespace zrv_core

#endif
