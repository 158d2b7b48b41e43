/*
 * RmDriverDevice.h - a GPU-class device (names holding "gpu"), reached
 * through the GPU driver's resource-manager interface: a client, the GPU's
 * device object and its subdevice, and one control call on the subdevice per
 * access register. No CR space.
 *
 * RmDriverDevice.cpp: the object's life and the status translation;
 * RmDriverRegAccess.cpp: the register dispatch and the pass-through control;
 * RmDriverRegConverters.cpp: the per-register controls;
 * RmDriverPerfmon.cpp: GPU probing, the profiler, its PMA stream and the
 * register operations of performance monitoring, and the per-GPU files.
 */
#ifndef ZRV_CORE_DEVICE_RM_DRIVER_RM_DRIVER_DEVICE_H
#define ZRV_CORE_DEVICE_RM_DRIVER_RM_DRIVER_DEVICE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "Device.h"

namespace zrv_core {

struct sGpuRegister;

/* The pass-through control's record: the register id, the method, the length
 * in words and a data area of oPxucDataSize bytes, in host byte order. */
constexpr uint32_t oPxucControl = 0x20803B03;
constexpr uint32_t oPxucRecordSize = 288;
constexpr uint32_t oPxucDataSize = 284;

/* Parameter records of the client's GPU queries and of the profiler's
 * controls, host byte order. The driver checks their sizes; the fields are
 * this device's own layout. */
struct sProbeGpusParams {          /* control 0x214 on the client */
    uint32_t gpuIds[32];           /* out: probed GPU ids, 0xFFFFFFFF ends */
    uint32_t excludedGpuIds[32];   /* out: GPUs the driver left out */
};
struct sPciBdfParams {             /* control 0x21B on the client */
    uint32_t gpuId;                /* in */
    uint32_t domain;
    uint8_t bus, device, function, reserved;
};
struct sPciIdParams {              /* control 0x20801801 on a subdevice */
    uint32_t deviceId;             /* vendor id in the low half */
    uint32_t subsystemId;
    uint32_t revisionId;
    uint32_t extendedDeviceId;
};
struct sPowerMgmtParams {          /* control 0xB0CC0301 */
    uint32_t features;             /* the power features held off */
    uint32_t reserved[2];
};
struct sPmaStreamParams {          /* control 0xB0CC0105 */
    uint32_t recordBufferMemory;
    uint32_t getPutMemory;
    uint64_t recordBufferOffset;
    uint64_t recordBufferSize;
    uint64_t getPutOffset;
    uint64_t getPutSize;
    uint32_t channelIndex;         /* out */
    uint32_t reserved[3];
};
struct sHsCredit {
    uint8_t chipletType;
    uint8_t chipletIndex;
    uint16_t credits;
};
constexpr uint32_t oMaxHsCredits = 63;
struct sHsCreditsParams {          /* control 0xB0CC010E */
    uint8_t channelIndex;
    uint8_t count;
    uint16_t reserved;
    sHsCredit entries[oMaxHsCredits];
};
struct sUpdateGetPutParams {       /* control 0xB0CC0109 */
    uint64_t bytesConsumed;
    uint8_t updateAvailableBytes;
    uint8_t waitForUpdate;
    uint8_t returnPut;
    uint8_t reserved0;
    uint32_t channelIndex;
    uint64_t availableBytes;       /* out */
    uint64_t put;                  /* out */
    uint64_t reserved[2];
};
/* One 32-bit register write: the bits of `mask` take those of `value`. */
struct sPerfRegWrite {
    uint32_t address;
    uint32_t value;
    uint32_t mask;
};
struct sRegop {
    uint8_t op;                    /* 1: 32-bit write */
    uint8_t type;
    uint8_t status;                /* out: 0 when carried out */
    uint8_t reserved;
    uint32_t address;
    uint32_t value;
    uint32_t mask;
};
constexpr uint32_t oMaxRegops = 248;
struct sExecRegopsParams {         /* control 0xB0CC010A */
    uint32_t count;
    uint32_t mode;
    uint8_t allPassed;             /* out */
    uint8_t reserved[3];
    sRegop ops[oMaxRegops];
};
static_assert(sizeof(sProbeGpusParams) == 256, "probe record");
static_assert(sizeof(sPciBdfParams) == 12, "PCI location record");
static_assert(sizeof(sPciIdParams) == 16, "PCI id record");
static_assert(sizeof(sPowerMgmtParams) == 12, "power record");
static_assert(sizeof(sPmaStreamParams) == 56, "PMA stream record");
static_assert(sizeof(sHsCreditsParams) == 256, "HS credits record");
static_assert(sizeof(sUpdateGetPutParams) == 48, "get/put record");
static_assert(sizeof(sExecRegopsParams) == 3980, "register operations record");

/* A PMA channel: its stream and both memories mapped. */
struct sPmaChannel {
    uint32_t index = 0;
    void* recordBuffer = nullptr;
    uint64_t recordBufferSize = 0;
    void* getPut = nullptr;
};

class RmDriverDevice : public Device {
public:
    /* Allocates the client, the device object of the GPU whose index follows
     * the first "gpu" in the name, and its subdevice. Throws
     * ZrvGeneralException when an allocation fails, std::invalid_argument or
     * std::out_of_range ("stoul") for an index that is no number or does not
     * fit 32 bits; whatever was allocated is freed first. */
    RmDriverDevice(const std::string& name, eCommunicationType type);
    /* Frees the subdevice, then the client with all beneath it. */
    ~RmDriverDevice() override;

    /* No CR space: ZrvGeneralException. */
    int Read(uint32_t address, uint32_t length, uint32_t* data) override;
    int Write(uint32_t address, uint32_t length, uint32_t* data) override;
    /* One register through its control (or the pass-through control): 0 with
     * the translated driver status in `status`; ZrvGeneralException for a
     * register this device cannot carry, a buffer too short or too long for
     * its control, and a driver that rejects the parameters (status 31). */
    int AccessRegisterSend(uint32_t* data, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* data, uint32_t length, uint32_t register_id,
                          int& status) override;

    int AccessRegister(unsigned char* data, uint32_t length, uint32_t register_id, int& status,
                       bool write);
    /* The driver status of the pass-through control. */
    int AccessRegisterPXUC(unsigned char* data, uint32_t length, uint32_t register_id, bool write);
    /* A resource-manager status as an access-register status. */
    int TranslateObStatus(uint32_t status) const;

    bool IsPassThrough() const { return m_passThrough; }
    uint32_t GetClientHandle() const { return m_clientHandle; }

    /* Every operation below throws ZrvGeneralException when the driver
     * refuses it, its text followed by the status text. */
    static void ProbeGpus(uint32_t client, sProbeGpusParams& params);
    static void GetPciBdfInfo(uint32_t client, sPciBdfParams& params, uint32_t gpuId);
    static sPciIdParams GetPciId(uint32_t client, uint32_t subdevice);

    /* The profiler object (0xDE000003) under the subdevice, and the
     * controls on it. */
    void AllocateProfiler();
    void DisableGpuPowerMgmt();
    /* Logs a refusal without throwing; the driver status. */
    uint32_t ReleaseGpuPowerMgmt();
    void ReserveHWPerfmon(bool contextSwitched);
    void ReleaseHWPerfmon();

    void AllocSysMemPhysical(uint32_t client, uint32_t parent, uint32_t handle, uint64_t size);
    /* The memory mapped read-only through the device; its address. */
    void* MapMemory(uint32_t client, uint32_t device, uint32_t memory, uint64_t size);
    /* Record buffer and get/put memory, the stream over them, both mapped.
     * A step that fails undoes the ones before it. */
    sPmaChannel AllocPmaChannel(uint64_t recordBufferSize);
    /* Every step runs; the first refusal is thrown afterwards. */
    void FreePmaChannel(const sPmaChannel& channel);
    uint32_t AllocPmaStream(uint64_t recordBufferSize);
    void FreePmaStream(uint32_t channelIndex);
    void BindPmaStream();
    void UnbindPmaStream();
    /* At most oMaxHsCredits entries. */
    void ProgramHsCredits(uint32_t channelIndex, const std::vector<sHsCredit>& credits);
    sUpdateGetPutParams UpdateGetPut(uint32_t channelIndex, uint64_t bytesConsumed, bool wait);
    /* At most oMaxRegops writes; a write the driver reports as not carried
     * out fails the whole call. */
    void ExecRegops(const std::vector<sPerfRegWrite>& writes);

    /* Profiler, reservation, PMA channel, binding, credits, then the start
     * list; a failing step undoes the ones before it. */
    void InitPerfmon();
    /* The stop list, then every release in reverse order. */
    void TerminatePerfmon();
    bool IsPerfmonActive() const { return m_perfmonActive; }

    /* Opens "/dev/ombrix0" to "/dev/ombrix15" for reading, keeps those that
     * open; their count. Files kept from an earlier call are closed first. */
    static int InitRmDriverDeviceFiles();
    static void CloseRmDriverDeviceFiles();

private:
    /* The control of a register of the converter table; the driver status. */
    int AccessRegisterConverted(const sGpuRegister& reg, unsigned char* data, bool write);
    /* Frees the client (and everything beneath it) once. */
    void FreeClient();

    bool m_passThrough = false;
    uint32_t m_clientHandle = 0;
    const uint32_t m_deviceHandle = 0xDE000001;
    const uint32_t m_subdeviceHandle = 0xDE000002;
    const uint32_t m_profilerHandle = 0xDE000003;
    const uint32_t m_recordBufferHandle = 0xDE000004;
    const uint32_t m_getPutHandle = 0xDE000005;
    bool m_subdeviceAllocated = false;
    bool m_perfmonActive = false;
    sPmaChannel m_pmaChannel;
};

}  // namespace zrv_core

#endif
