/*
 * RmDriverPerfmon.cpp - the GPU device object's further operations: GPU
 * probing and PCI queries on a client, the profiler object with its power
 * and perfmon reservations, the PMA stream (record buffer and get/put
 * memory), HS credits, register operations, the perfmon start and stop
 * sequences, and the per-GPU files.
 *
 * Every operation is one allocation or control on the program's fixed
 * handles. A refusal is logged with the driver's status text and thrown.
 * Sequences that hold several objects undo what they had done when a later
 * step fails, so a failed call leaves nothing allocated behind it.
 */
#include <string.h>

#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "Logger.h"
#include "RmDriverDevice.h"
#include "ZrvGeneralException.h"
#include "ob_status.h"
#include "rm_api.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/rm_driver/RmDriverDevice";

static const uint32_t oProbeGpusControl = 0x214;
static const uint32_t oPciBdfInfoControl = 0x21B;
static const uint32_t oPciIdControl = 0x20801801;
static const uint32_t oProfilerClass = 0xB2CC;
static const uint32_t oSystemMemoryClass = 0x3E;
static const uint32_t oReserveHwPerfmonControl = 0xB0CC0101;
static const uint32_t oReleaseHwPerfmonControl = 0xB0CC0102;
static const uint32_t oAllocPmaStreamControl = 0xB0CC0105;
static const uint32_t oFreePmaStreamControl = 0xB0CC0106;
static const uint32_t oBindPmaStreamControl = 0xB0CC0107;
static const uint32_t oUnbindPmaStreamControl = 0xB0CC0108;
static const uint32_t oUpdateGetPutControl = 0xB0CC0109;
static const uint32_t oExecRegopsControl = 0xB0CC010A;
static const uint32_t oHsCreditsControl = 0xB0CC010E;
static const uint32_t oDisablePowerMgmtControl = 0xB0CC0301;
static const uint32_t oReleasePowerMgmtControl = 0xB0CC0302;
static const uint32_t oMapReadOnly = 1;
static const uint64_t oGetPutSize = 4096;
static const uint32_t oPowerFeaturesAll = 0xFFFFFFFF;

/*
 * The register writes of perfmon start-up and shut-down, and the HS credits
 * programmed for the stream. No perfmon block's register addresses, values or
 * credits are known to this program, and writing guessed values to real
 * register addresses could do harm, so all three lists are empty: start-up
 * and shut-down keep every other step, the credits step programs none, and
 * ExecRegops sends nothing for an empty list. A GPU whose perfmon block is
 * known gets its lists here.
 */
static const uint64_t oPmaRecordBufferSize = 1u << 20;
static const std::vector<sPerfRegWrite> oPerfmonStart = {};
static const std::vector<sPerfRegWrite> oPerfmonStop = {};
static const std::vector<sHsCredit> oPerfmonCredits = {};

/* Per-GPU files are the prefix followed by a decimal index. */
static const std::string ObDevFileNamePrefix = "/dev/ombrix";
static const int oMaxDeviceFiles = 16;
static std::vector<std::unique_ptr<std::ifstream>> oDeviceFiles;

static Logger* Log(const char* function, int line)
{
    return Logger::GetInstance(LogLocation(oSource, function, line), "ZRV_PRINT_LOG");
}

[[noreturn]] static void Fail(const char* function, int line, const std::string& text)
{
    std::stringstream message;
    message << text << std::endl;
    Log(function, line)->Error(message.str());
    throw ZrvGeneralException(message.str(), 0);
}

/* Throws `text` followed by the status text unless the status is OB_OK. */
static void Check(uint32_t status, const char* function, int line, const char* text)
{
    if (status != OB_OK) Fail(function, line, std::string(text) + obstatusToString(status));
}

/* Runs `undo` and keeps its refusal to the log: used while unwinding. */
template <typename Undo>
static void Quietly(Undo undo)
{
    try {
        undo();
    } catch (const ZrvGeneralException&) {
    }
}

void RmDriverDevice::ProbeGpus(uint32_t client, sProbeGpusParams& params)
{
    Check(ObRmControl(client, client, oProbeGpusControl, &params, sizeof(params)), __func__,
          __LINE__, "Probe GPU failed, status ");
}

void RmDriverDevice::GetPciBdfInfo(uint32_t client, sPciBdfParams& params, uint32_t gpuId)
{
    memset(&params, 0, sizeof(params));
    params.gpuId = gpuId;
    Check(ObRmControl(client, client, oPciBdfInfoControl, &params, sizeof(params)), __func__,
          __LINE__, "Failed to get GPU PCI INFO, error code ");
}

sPciIdParams RmDriverDevice::GetPciId(uint32_t client, uint32_t subdevice)
{
    sPciIdParams params = {};
    Check(ObRmControl(client, subdevice, oPciIdControl, &params, sizeof(params)), __func__,
          __LINE__, "Failed to get bus PCI INFO, error code ");
    return params;
}

void RmDriverDevice::AllocateProfiler()
{
    Check(ObRmAlloc(m_clientHandle, m_subdeviceHandle, m_profilerHandle, oProfilerClass, nullptr),
          __func__, __LINE__, "Failed to allocate Harlow Profiler device, status ");
}

void RmDriverDevice::DisableGpuPowerMgmt()
{
    sPowerMgmtParams params = {};
    params.features = oPowerFeaturesAll;
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oDisablePowerMgmtControl, &params,
                      sizeof(params)),
          __func__, __LINE__, "DisableGpuPowerMgmt failed, status ");
}

uint32_t RmDriverDevice::ReleaseGpuPowerMgmt()
{
    uint32_t features = oPowerFeaturesAll;
    const uint32_t status =
        ObRmControl(m_clientHandle, m_profilerHandle, oReleasePowerMgmtControl, &features, sizeof(features));
    if (status != OB_OK) Log(__func__, __LINE__)->Error(obstatusToString(status));
    return status;
}

void RmDriverDevice::ReserveHWPerfmon(bool contextSwitched)
{
    uint8_t params = contextSwitched ? 1 : 0;
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oReserveHwPerfmonControl, &params, sizeof(params)),
          __func__, __LINE__, "Reserve HW Perfmon failed, status ");
}

void RmDriverDevice::ReleaseHWPerfmon()
{
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oReleaseHwPerfmonControl, nullptr, 0), __func__,
          __LINE__, "Release HW Perfmon failed, status ");
}

void RmDriverDevice::AllocSysMemPhysical(uint32_t client, uint32_t parent, uint32_t handle, uint64_t size)
{
    if (size == 0) Check(OB_ERR_INVALID_ARGUMENT, __func__, __LINE__, "Allocate PMA Memory failed, status ");
    uint32_t memory = handle;
    void* address = nullptr;
    uint64_t limit = size - 1;
    Check(ObRmAllocMemory64(client, parent, &memory, oSystemMemoryClass, 0, &address, &limit), __func__,
          __LINE__, "Allocate PMA Memory failed, status ");
}

void* RmDriverDevice::MapMemory(uint32_t client, uint32_t device, uint32_t memory, uint64_t size)
{
    void* address = nullptr;
    Check(ObRmMapMemory(client, device, memory, 0, size, &address, oMapReadOnly), __func__, __LINE__,
          "Map PMA Memory failed, status ");
    return address;
}

uint32_t RmDriverDevice::AllocPmaStream(uint64_t recordBufferSize)
{
    sPmaStreamParams params = {};
    params.recordBufferMemory = m_recordBufferHandle;
    params.getPutMemory = m_getPutHandle;
    params.recordBufferSize = recordBufferSize;
    params.getPutSize = oGetPutSize;
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oAllocPmaStreamControl, &params, sizeof(params)),
          __func__, __LINE__, "PMA Stream Allocation failed, status ");
    return params.channelIndex;
}

void RmDriverDevice::FreePmaStream(uint32_t channelIndex)
{
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oFreePmaStreamControl, &channelIndex,
                      sizeof(channelIndex)),
          __func__, __LINE__, "PMA Stream Deallocation failed, status ");
}

sPmaChannel RmDriverDevice::AllocPmaChannel(uint64_t recordBufferSize)
{
    sPmaChannel channel;
    channel.recordBufferSize = recordBufferSize;
    int done = 0;
    try {
        AllocSysMemPhysical(m_clientHandle, m_deviceHandle, m_recordBufferHandle, recordBufferSize);
        done = 1;
        AllocSysMemPhysical(m_clientHandle, m_deviceHandle, m_getPutHandle, oGetPutSize);
        done = 2;
        channel.index = AllocPmaStream(recordBufferSize);
        done = 3;
        channel.recordBuffer = MapMemory(m_clientHandle, m_deviceHandle, m_recordBufferHandle, recordBufferSize);
        channel.getPut = MapMemory(m_clientHandle, m_deviceHandle, m_getPutHandle, oGetPutSize);
    } catch (const ZrvGeneralException&) {
        /* Freeing a memory object also releases its mapping. */
        if (done >= 3) Quietly([&] { FreePmaStream(channel.index); });
        if (done >= 2) ObRmFree(m_clientHandle, m_deviceHandle, m_getPutHandle);
        if (done >= 1) ObRmFree(m_clientHandle, m_deviceHandle, m_recordBufferHandle);
        throw;
    }
    return channel;
}

void RmDriverDevice::FreePmaChannel(const sPmaChannel& channel)
{
    uint32_t status = OB_OK;
    const char* text = nullptr;
    auto note = [&](uint32_t result, const char* what) {
        if (result == OB_OK) return;
        Log(__func__, __LINE__)->Error(std::string(what) + obstatusToString(result));
        if (status == OB_OK) {
            status = result;
            text = what;
        }
    };
    if (channel.recordBuffer)
        note(ObRmUnmapMemory(m_clientHandle, m_deviceHandle, m_recordBufferHandle, channel.recordBuffer, 0),
             "Unmap PMA Memory failed, status ");
    if (channel.getPut)
        note(ObRmUnmapMemory(m_clientHandle, m_deviceHandle, m_getPutHandle, channel.getPut, 0),
             "Unmap PMA Memory failed, status ");
    uint32_t index = channel.index;
    note(ObRmControl(m_clientHandle, m_profilerHandle, oFreePmaStreamControl, &index, sizeof(index)),
         "PMA Stream Deallocation failed, status ");
    note(ObRmFree(m_clientHandle, m_deviceHandle, m_recordBufferHandle), "Free PMA Memory failed, status ");
    note(ObRmFree(m_clientHandle, m_deviceHandle, m_getPutHandle), "Free PMA Memory failed, status ");
    if (status != OB_OK) Check(status, __func__, __LINE__, text);
}

void RmDriverDevice::BindPmaStream()
{
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oBindPmaStreamControl, nullptr, 0), __func__,
          __LINE__, "PMA Stream Bind failed, status ");
}

void RmDriverDevice::UnbindPmaStream()
{
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oUnbindPmaStreamControl, nullptr, 0), __func__,
          __LINE__, "PMA Stream Unbind failed, status ");
}

void RmDriverDevice::ProgramHsCredits(uint32_t channelIndex, const std::vector<sHsCredit>& credits)
{
    const char* text = "HS Credits program failed, status ";
    if (credits.size() > oMaxHsCredits || channelIndex > 0xFF)
        Check(OB_ERR_INVALID_ARGUMENT, __func__, __LINE__, text);
    sHsCreditsParams params = {};
    params.channelIndex = static_cast<uint8_t>(channelIndex);
    params.count = static_cast<uint8_t>(credits.size());
    std::copy(credits.begin(), credits.end(), params.entries);
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oHsCreditsControl, &params, sizeof(params)),
          __func__, __LINE__, text);
}

sUpdateGetPutParams RmDriverDevice::UpdateGetPut(uint32_t channelIndex, uint64_t bytesConsumed, bool wait)
{
    sUpdateGetPutParams params = {};
    params.bytesConsumed = bytesConsumed;
    params.updateAvailableBytes = 1;
    params.waitForUpdate = wait ? 1 : 0;
    params.returnPut = 1;
    params.channelIndex = channelIndex;
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oUpdateGetPutControl, &params, sizeof(params)),
          __func__, __LINE__, "UpdateGetPut failed, status ");
    return params;
}

void RmDriverDevice::ExecRegops(const std::vector<sPerfRegWrite>& writes)
{
    const char* text = "ExecRegops failed, status ";
    if (writes.size() > oMaxRegops) Check(OB_ERR_INVALID_ARGUMENT, __func__, __LINE__, text);
    /* Nothing to carry out: no zero-count control goes to the driver. */
    if (writes.empty()) return;
    /* Nearly 4 KiB: off the stack. */
    std::unique_ptr<sExecRegopsParams> params(new sExecRegopsParams());
    params->count = static_cast<uint32_t>(writes.size());
    for (size_t i = 0; i < writes.size(); i++) {
        params->ops[i].op = 1;
        params->ops[i].address = writes[i].address;
        params->ops[i].value = writes[i].value;
        params->ops[i].mask = writes[i].mask;
    }
    Check(ObRmControl(m_clientHandle, m_profilerHandle, oExecRegopsControl, params.get(), sizeof(*params)),
          __func__, __LINE__, text);
    /* The call can succeed while single writes were not carried out. */
    for (size_t i = 0; i < writes.size(); i++) {
        if (params->ops[i].status == 0) continue;
        std::stringstream detail;
        detail << "ExecRegops failed, register operation " << i << " at 0x" << std::hex
               << writes[i].address << " not carried out, status 0x"
               << static_cast<unsigned>(params->ops[i].status);
        Fail(__func__, __LINE__, detail.str());
    }
}

void RmDriverDevice::InitPerfmon()
{
    if (m_perfmonActive) return;
    int done = 0;
    try {
        AllocateProfiler();
        done = 1;
        ReserveHWPerfmon(false);
        done = 2;
        m_pmaChannel = AllocPmaChannel(oPmaRecordBufferSize);
        done = 3;
        BindPmaStream();
        done = 4;
        ProgramHsCredits(m_pmaChannel.index, oPerfmonCredits);
        ExecRegops(oPerfmonStart);
    } catch (const ZrvGeneralException&) {
        if (done >= 4) Quietly([&] { UnbindPmaStream(); });
        if (done >= 3) Quietly([&] { FreePmaChannel(m_pmaChannel); });
        if (done >= 2) Quietly([&] { ReleaseHWPerfmon(); });
        if (done >= 1) ObRmFree(m_clientHandle, m_subdeviceHandle, m_profilerHandle);
        m_pmaChannel = sPmaChannel();
        throw;
    }
    m_perfmonActive = true;
}

void RmDriverDevice::TerminatePerfmon()
{
    if (!m_perfmonActive) return;
    /* Every step runs even when one is refused, so nothing stays held; the
     * first refusal is thrown at the end. */
    std::exception_ptr first;
    auto step = [&](const std::function<void()>& call) {
        try {
            call();
        } catch (const ZrvGeneralException&) {
            if (!first) first = std::current_exception();
        }
    };
    step([&] { ExecRegops(oPerfmonStop); });
    step([&] { UnbindPmaStream(); });
    step([&] { FreePmaChannel(m_pmaChannel); });
    step([&] { ReleaseHWPerfmon(); });
    const uint32_t status = ObRmFree(m_clientHandle, m_subdeviceHandle, m_profilerHandle);
    if (status != OB_OK) Log(__func__, __LINE__)->Error(obstatusToString(status));
    m_pmaChannel = sPmaChannel();
    m_perfmonActive = false;
    if (first) std::rethrow_exception(first);
}

int RmDriverDevice::InitRmDriverDeviceFiles()
{
    CloseRmDriverDeviceFiles();
    for (int index = 0; index < oMaxDeviceFiles; index++) {
        const std::string path = ObDevFileNamePrefix + std::to_string(index);
        std::unique_ptr<std::ifstream> file(new std::ifstream(path, std::ios::in | std::ios::binary));
        if (!file->is_open()) continue;
        Log(__func__, __LINE__)->Debug("Successfully opened " + path);
        oDeviceFiles.push_back(std::move(file));
    }
    return static_cast<int>(oDeviceFiles.size());
}

void RmDriverDevice::CloseRmDriverDeviceFiles()
{
    for (auto& file : oDeviceFiles) file->close();
    oDeviceFiles.clear();
}

}  // namespace zrv_core
