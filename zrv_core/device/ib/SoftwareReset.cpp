/*
 * SoftwareReset.cpp - reset over GMP, after asking a managed node whether it
 * takes one; raw SMPs for the core.
 */
#include "SoftwareReset.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "IBLog.h"
#include "LibIBMadWrapper.h"
#include "Mad.h"
#include "MadBuffer.h"
#include "MadCodes.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/SoftwareReset";

namespace {

constexpr const char* oTimerVariable = "TQCR_SWRESET_TIMER";
constexpr uint32_t oSwitchInfoAttribute = 0x12;
constexpr uint32_t oResetAttribute = 0x12;
constexpr uint32_t oResetTimeout = 10;
constexpr uint32_t oEnhancedPortByte = 16;
constexpr uint32_t oEnhancedPortBit = 3;
constexpr uint32_t oResetSupportedBit = 25;

}  // namespace

uint32_t GmpMadReset::GetSoftwareResetTimerEnvVar()
{
    const char* text = getenv(oTimerVariable);
    if (!text) return m_resetTimer;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE) {
        IB_LOG(Error, std::string("Bad environment variable format for ") + oTimerVariable);
        return m_resetTimer;
    }
    if (value > oMaxTimer) {
        IB_LOG(Error, std::string("Bad environment variable value for ") + oTimerVariable +
                          ": " + text + " is above " + std::to_string(oMaxTimer) + " seconds");
        return m_resetTimer;
    }
    m_resetTimer = (uint32_t)value;
    IB_LOG(Info, "Software Reset Timer set to " + std::to_string(value) + " seconds");
    return m_resetTimer;
}

bool GmpMadReset::IsNodeManaged()
{
    SmpMadBuffer buffer;
    if (!m_wrapper->SmpQuery(buffer, oSwitchInfoAttribute, 0, 0)) {
        IB_LOG(Debug, "Switch is Unmanaged");
        return false;
    }
    const bool enhanced = buffer.ExtractFromBuffer(oEnhancedPortByte, oEnhancedPortBit) != 0;
    IB_LOG(Debug, std::string("Enhanced Port: ") + (enhanced ? "1" : "0"));
    return enhanced;
}

bool GmpMadReset::IsSwResetSupportedByManagedNode()
{
    GmpMadBuffer info;
    const int rc = GmpMad(m_wrapper).Get(info, 0, 0x17, 0);
    info.FixEndianess();
    const bool supported = rc == oMadOk && info.ExtractFromBuffer(34, oResetSupportedBit) != 0;
    IB_LOG(Debug, std::string("Is SwReset supported: ") + (supported ? "1" : "0"));
    return supported;
}

int GmpMadReset::Reset()
{
    IB_LOG(Debug, "Getting reset timer environment variable value.");
    GetSoftwareResetTimerEnvVar();
    if (!IsNodeManaged() || IsSwResetSupportedByManagedNode()) {
        IB_LOG(Debug, "Sending reset command via GMP MAD.");
        GmpMadBuffer buffer;
        return GmpMad(m_wrapper).Set(buffer, oResetTimeout, oResetAttribute, m_resetTimer);
    }
    errno = ENOTSUP;
    IB_FAIL("Reset Operation not supported by device");
}

int SmpMadInterface::SendSmp(void* data, uint32_t attribute_id, uint32_t attribute_modifier,
                             int method)
{
    SmpMadBuffer buffer;
    memcpy(buffer.GetBuffer(), data, m_smpDataLength);
    SmpMad mad(m_wrapper);
    const int rc = method == oMethodSet ? mad.Set(buffer, 0, attribute_id, attribute_modifier)
                                        : mad.Get(buffer, 0, attribute_id, attribute_modifier);
    memcpy(data, buffer.GetBuffer(), m_smpDataLength);
    return rc;
}

}  // namespace zrv_core
