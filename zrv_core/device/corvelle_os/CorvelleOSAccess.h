/*
 * CorvelleOSAccess.h - the two SDK libraries of the switch operating system
 * behind one base each: CorvelleOSRegAccess carries access registers,
 * CorvelleOSCRSpace reads and writes CR space. Both load the register library
 * first and then their own into one loader.
 */
#ifndef ZRV_CORE_DEVICE_CORVELLE_OS_ACCESS_H
#define ZRV_CORE_DEVICE_CORVELLE_OS_ACCESS_H

#include <stdint.h>

#include <memory>
#include <string>

#include "CorvelleOSSdk.h"
#include "DynamicLinking.h"
#include "OperatingSystemAPI.h"

namespace zrv_core {

class BaseCorvelleOS {
public:
    explicit BaseCorvelleOS(uint8_t device_id);
    BaseCorvelleOS(const BaseCorvelleOS&) = delete;
    BaseCorvelleOS& operator=(const BaseCorvelleOS&) = delete;

    /* Looks up the entry points in the library loaded last; a missing
     * mandatory one throws std::invalid_argument. */
    virtual void InitDynamicFunctions() = 0;
    /* Loads "libkvdreg_access.so.1", then the library named by the object;
     * ZrvGeneralException when either cannot be loaded. */
    virtual void InitDynamicLibrary();
    virtual ~BaseCorvelleOS();

protected:
    std::string m_libraryName;
    std::unique_ptr<DynamicLinking> m_dynamicLinking;
    std::unique_ptr<OperatingSystemAPI> m_operatingSystem;
    uint8_t m_deviceId;
};

class CorvelleOSRegAccess : public BaseCorvelleOS {
public:
    /* Loads the register library and initialises it; a refusal throws. */
    explicit CorvelleOSRegAccess(uint8_t device_id);
    ~CorvelleOSRegAccess() override;

    void InitDynamicFunctions() override;
    /* SET and GET of one register image in place: 0, or a throw with the
     * register-access code in `status` when the SDK refuses. */
    virtual int Write(uint32_t* data, uint32_t size, uint32_t register_id, int& status);
    virtual int Read(uint32_t* data, uint32_t size, uint32_t register_id, int& status);
    /* Bytes: the SDK's dword count times 4, or 44 without an answer. */
    virtual int GetRegisterMaximumSize();

private:
    int SendRegister(kvd_access_cmd command, uint32_t* data, uint32_t size, uint32_t register_id,
                     int& status);
    void SetRegisterMessage(kvd_access_cmd command, uint32_t* data, uint32_t size,
                            ku_raw_reg& raw, kvd_reg_meta& meta);
    void ParseErrorCode(int result, int& status);

    f_kvd_access_reg_init m_init = nullptr;
    f_kvd_access_reg_deinit m_deinit = nullptr;
    f_kvd_access_reg_raw m_raw = nullptr;
    f_kvd_access_reg_max_size m_maxSize = nullptr; /* optional */
};

class CorvelleOSCRSpace : public BaseCorvelleOS {
public:
    /* Loads the CR-space library; ZrvGeneralException when it refuses CR space. */
    explicit CorvelleOSCRSpace(uint8_t device_id);
    ~CorvelleOSCRSpace() override;

    void InitDynamicFunctions() override;
    /* `length` bytes; the words travel byte-swapped between the caller and
     * the SDK (a write leaves the caller's buffer swapped). Return `length`,
     * or ZrvGeneralException when the SDK answers a negative value (a read
     * then leaves the caller's buffer unswapped). */
    virtual int Read(uint32_t address, uint32_t length, uint32_t* data);
    virtual int Write(uint32_t address, uint32_t length, uint32_t* data);

private:
    void IsCRSpaceEnabled();
    void CheckAccess(const char* function, int line, const char* what, int result,
                     uint32_t address);
    void LogAccess(const char* function, int line, const char* what, uint32_t address,
                   uint32_t length, const uint32_t* data);

    f_kv_cr_access_init m_init = nullptr;
    f_kv_cr_access_deinit m_deinit = nullptr;
    f_kv_cr_access_read m_read = nullptr;
    f_kv_cr_access_write m_write = nullptr;
};

}  // namespace zrv_core

#endif
