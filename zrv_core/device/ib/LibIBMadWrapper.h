/*
 * LibIBMadWrapper.h - the one user of libibmad, opened at run time
 * ("libibmad.so.5", else "libibmad.so.12"): its thirteen entry points, the
 * open port and the destination, the keys, and the MAD status turned into
 * the core's codes. Shared by an IBDevice and all its MAD objects.
 *
 * Every MAD call reports failure by a null result and the MAD status, never
 * by an exception; a buffer too small for what the call would move is
 * refused the same way (null, status 0).
 */
#ifndef ZRV_CORE_DEVICE_IB_LIB_IB_MAD_WRAPPER_H
#define ZRV_CORE_DEVICE_IB_LIB_IB_MAD_WRAPPER_H

#include <stdint.h>

#include <memory>
#include <string>

#include "DynamicLinking.h"
#include "LibIBMadRecords.h"

namespace zrv_core {

class MadBuffer;

class LibIBMadWrapper {
public:
    static constexpr uint32_t oVendorOui = 0x001405;

    /* Loads the library and looks up its entry points; opens nothing.
     * Throws std::runtime_error when neither name loads and
     * std::invalid_argument when an entry point is missing. */
    LibIBMadWrapper();
    /* Closes a port still open and unloads the library. */
    virtual ~LibIBMadWrapper();
    LibIBMadWrapper(const LibIBMadWrapper&) = delete;
    LibIBMadWrapper& operator=(const LibIBMadWrapper&) = delete;

    void LoadLibIBMad();
    void InitializeFunctionsAddress();
    /* The M_Key and VS_Key of the destination LID (Keys.h). */
    void InitializeKeys();

    /* Throws ZrvGeneralException "Failed to open ib port." */
    void RPCOpenPort(const std::string& ca_name, int port, int* classes, int count);
    void RPCClosePort();
    void RPCSetRetries(int retries);
    void RPCSetTimeout(int milliseconds);
    void SetMadTimeout(uint32_t milliseconds);
    /* Throws std::runtime_error "ib_resolve_portid failed." */
    void IBResolvePortIDStr(const std::string& text, int kind);

    void SetMkey();
    uint8_t* SmpQuery(MadBuffer& buffer, uint32_t attribute, uint32_t modifier, uint32_t timeout);
    uint8_t* SmpQueryStatusVia(MadBuffer& buffer, uint32_t attribute, uint32_t modifier,
                               uint32_t timeout, int& status);
    uint8_t* SmpSetStatusVia(MadBuffer& buffer, uint32_t attribute, uint32_t modifier,
                             uint32_t timeout, int& status);
    uint8_t* SmpSetVia(MadBuffer& buffer, uint32_t attribute, uint32_t modifier, uint32_t timeout);
    uint8_t* IBVendorCall(MadBuffer& buffer, ibmad::sVendorCall& call);
    void* IBVendorCallStatusVia(MadBuffer& buffer, ibmad::sVendorCall& call, int& status);
    void* ClassARegAccess(MadBuffer& buffer, uint32_t timeout, uint32_t attribute,
                          uint32_t modifier, int& status);

    int TranslateMadStatus(int status);
    static int TranslateMadStatusToRegStatus(int status);

    uint64_t GetMKey() const { return m_mKey; }
    uint64_t GetVSKey() const { return m_vsKey; }

private:
    template <typename Function>
    void Resolve(Function& entry, const char* name);

    std::unique_ptr<DynamicLinking> m_library;
    ibmad::fMadRpcOpenPort m_madRpcOpenPort = nullptr;
    ibmad::fMadRpcClosePort m_madRpcClosePort = nullptr;
    ibmad::fMadRpcSetRetries m_madRpcSetRetries = nullptr;
    ibmad::fMadRpcSetTimeout m_madRpcSetTimeout = nullptr;
    ibmad::fMadRpc m_madRpc = nullptr;
    ibmad::fSmpQueryVia m_smpQueryVia = nullptr;
    ibmad::fIbResolvePortIdStrVia m_ibResolvePortIdStrVia = nullptr;
    ibmad::fIbVendorCallVia m_ibVendorCallVia = nullptr;
    ibmad::fSmpQueryStatusVia m_smpQueryStatusVia = nullptr;
    ibmad::fSmpSetVia m_smpSetVia = nullptr;
    ibmad::fSmpSetStatusVia m_smpSetStatusVia = nullptr;
    ibmad::fMadRpcRmpp m_madRpcRmpp = nullptr;
    ibmad::fSmpMkeySet m_smpMkeySet = nullptr;
    ibmad::sPortId m_destination;
    ibmad::sPort* m_port = nullptr;
    uint32_t m_madTimeout = 0;
    uint64_t m_vsKey = 0;
    uint64_t m_mKey = 0;
};

}  // namespace zrv_core

#endif
