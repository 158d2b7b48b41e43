/*
 * device_bridge.cpp - the flat functions through which the device access
 * core uses device objects.
 *
 * No exception crosses into the core: each function turns whatever its
 * device throws into its failure value (-1 for device operations and opens,
 * 0 for the capability queries) after logging it. A null device gets the
 * failure value too. The class-specific functions (InfiniBand, i2c-dev,
 * switch OS, USB adapters) need a device object of their class; the classes
 * that this build does not include are never built (DeviceFactory), so those
 * functions answer their failure value for every device they are given.
 */
#include "device_bridge.h"

#include <errno.h>
#include <stdio.h>

#include <exception>
#include <string>

#include "Device.h"
#include "DeviceFactory.h"
#include "Logger.h"
#include "ZrvGeneralException.h"
#include "ib/IBDevice.h"

using zrv_core::Device;
using zrv_core::Logger;

static const char* const oSource = "zrv_core/device/device_bridge";

static Logger* Log(const char* function, int line)
{
    return Logger::GetInstance(zrv_core::LogLocation(oSource, function, line), "ZRV_PRINT_LOG");
}

/* Logging a caught failure must not itself let an exception out. */
static void LogCaught(const char* function, int line, const char* text)
{
    try {
        Log(function, line)->Error(text);
    } catch (...) {
    }
}

/* Runs `operation` and returns its result, or `failure` when it throws. */
template <typename Result, typename Operation>
static Result Guarded(const char* function, int line, Result failure, Operation operation)
{
    try {
        return operation();
    } catch (const std::exception& e) {
        LogCaught(function, line, e.what());
    } catch (...) {
        LogCaught(function, line, "unknown exception");
    }
    return failure;
}

static Device* AsDevice(void* device) { return static_cast<Device*>(device); }

int init_device(const char* name, void** device, int, int)
{
    if (device) *device = nullptr;
    if (!name) return 0;
    if (!device) {
        errno = EINVAL;
        return -1;
    }
    try {
        Device* created = zrv_core::DeviceFactory::CreateInstance(name);
        *device = created;
        return created ? static_cast<int>(created->GetCommunicationType()) : 0;
    } catch (const zrv_core::DeviceClassNotBuiltException& e) {
        LogCaught(__func__, __LINE__, e.what());
        fprintf(stderr, "-E- %s\n", e.what());
        errno = EOPNOTSUPP;
    } catch (const zrv_core::ZrvGeneralException& e) {
        LogCaught(__func__, __LINE__, e.what());
    } catch (const std::exception& e) {
        /* Not a device failure the class logged (the log directory, a
         * library): say it where the open's caller can see it. */
        LogCaught(__func__, __LINE__, e.what());
        fprintf(stderr, "-E- %s\n", e.what());
    } catch (...) {
        LogCaught(__func__, __LINE__, "unknown exception");
        fprintf(stderr, "-E- %s: unknown exception\n", name);
    }
    if (!errno) errno = EIO;
    return -1;
}

int destroy_device(void* device)
{
    delete AsDevice(device);
    return 0;
}

int reg_access_send(uint32_t* buffer, uint32_t length, uint32_t reg_id, int* status, void* device)
{
    if (!device || !status) return -1;
    return Guarded(__func__, __LINE__, -1, [&] {
        return AsDevice(device)->AccessRegisterSend(buffer, length, reg_id & 0xFFFF, *status);
    });
}

int reg_access_get(uint32_t* buffer, uint32_t length, uint32_t reg_id, int* status, void* device)
{
    if (!device || !status) return -1;
    return Guarded(__func__, __LINE__, -1, [&] {
        return AsDevice(device)->AccessRegisterGet(buffer, length, reg_id & 0xFFFF, *status);
    });
}

int config_space_access_read(uint32_t address, uint32_t length, uint32_t* data, void* device)
{
    if (!device) return -1;
    return Guarded(__func__, __LINE__, -1,
                   [&] { return AsDevice(device)->Read(address, length, data); });
}

int config_space_access_write(uint32_t address, uint32_t length, uint32_t* data, void* device)
{
    if (!device) return -1;
    return Guarded(__func__, __LINE__, -1,
                   [&] { return AsDevice(device)->Write(address, length, data); });
}

/* ---- i2c-dev devices (I2CDevice) ---- */

void i2c_set_i2c_address_width(uint32_t, void*) {}
void i2c_update_secondary_address(uint32_t, void*) {}

/* ---- InfiniBand devices (IBDevice) ---- */

static zrv_core::IBDevice* AsIBDevice(void* device)
{
    return dynamic_cast<zrv_core::IBDevice*>(AsDevice(device));
}

int is_gmp_supported(int method, void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (!ib) return 0;
    return Guarded(__func__, __LINE__, 0, [&] { return ib->IsGmpSupported(method) ? 1 : 0; });
}

int is_class_a_supported(int method, void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (!ib) return 0;
    return Guarded(__func__, __LINE__, 0, [&] { return ib->IsClassASupported(method) ? 1 : 0; });
}

/* 0 refuses the block: the core never loops on a chunk size below 1. */
int get_ib_max_chunk_size(void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    return ib ? ib->GetMaxChunkSize() : 0;
}

int reset_ib_device(void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (!ib) return -1;
    return Guarded(__func__, __LINE__, -1, [&] { return ib->SwReset(); });
}

void force_use_smp(void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (ib) ib->ForceUseSMP();
}

static int SendSmp(const char* function, int line, void* data, uint32_t attribute_id,
                   uint32_t attribute_modifier, void* device, int method)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (!ib || !data) return -1;
    return Guarded(function, line, -1, [&] {
        Logger* log = Log(function, line);
        log->Debug("Sending SMP MAD:");
        log->Debug(method == 2 ? "Method: SET" : "Method: GET");
        log->Debug("Attribute ID: " + log->Hexify((int)attribute_id));
        log->Debug("Attribute Mode: " + log->Hexify((int)attribute_modifier));
        return ib->SendSmpMad(data, attribute_id, attribute_modifier, method);
    });
}

int mad_set(void* data, uint32_t attribute_id, uint32_t attribute_modifier, void* device)
{
    return SendSmp(__func__, __LINE__, data, attribute_id, attribute_modifier, device, 2);
}

int mad_get(void* data, uint32_t attribute_id, uint32_t attribute_modifier, void* device)
{
    return SendSmp(__func__, __LINE__, data, attribute_id, attribute_modifier, device, 1);
}

/* ---- switch operating-system devices (CorvelleOSDevice) ---- */

int get_register_maximum_size(void*) { return 0; }

/* ---- USB-to-I2C and NDC adapters (TQUSBDevice, NDCDevice) ---- */

int tqusb_access_set_frequency(uint32_t, void*) { return 1; }
int tqusb_access_get_frequency(int*, void*) { return 1; }
int tqusb_detect(uint8_t*, void*) { return 1; }
void tqusb_set_i2c_address_width(uint32_t, void*) {}
int tqusb_read(uint32_t, uint32_t, void*, void*) { return 1; }
int tqusb_write(uint32_t, uint32_t, void*, void*) { return 1; }
int tqusb_get_version(uint32_t*, uint32_t*, void*) { return 1; }
int tqusb_get_serial_number(uint32_t*, void*) { return 1; }
void tqusb_update_slave_address(uint32_t, void*) {}
