/*
 * device_bridge.cpp - the flat functions through which the device access
 * core uses device objects.
 *
 * No exception crosses into the core: each function turns whatever its
 * device throws into its failure value (-1 for device operations and opens,
 * 0 for the capability queries) after logging it. A null device gets the
 * failure value too. The class-specific functions (InfiniBand, i2c-dev,
 * switch OS, USB adapters) need a device object of their class and answer
 * their failure value (or do nothing) for any other; the classes that this
 * build does not include are never built (DeviceFactory).
 */
#include "device_bridge.h"

#include <errno.h>
#include <stdio.h>

#include <exception>
#include <string>

#include "CorvelleOSDevice.h"
#include "Device.h"
#include "DeviceFactory.h"
#include "I2CDevice.h"
#include "Logger.h"
#include "USBDevice.h"
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

static zrv_core::I2CDevice* AsI2C(void* device)
{
    return dynamic_cast<zrv_core::I2CDevice*>(AsDevice(device));
}

void i2c_set_i2c_address_width(uint32_t width, void* device)
{
    if (zrv_core::I2CDevice* i2c = AsI2C(device)) i2c->SetI2CAddressWidth(width);
}

void i2c_update_secondary_address(uint32_t address, void* device)
{
    if (zrv_core::I2CDevice* i2c = AsI2C(device)) i2c->SetI2CSecondaryAddress(address & 0xFF);
}

/* ---- InfiniBand devices (IBDevice) ---- */

static zrv_core::IBDevice* AsIBDevice(void* device)
{
    return dynamic_cast<zrv_core::IBDevice*>(AsDevice(device));
}

int is_gmp_supported(int method, void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (!ib) return 0;
    return Guarded(__func__, __LINE__, 0, [&] { return ib->IsGmpSupported(method); });
}

int is_class_a_supported(int method, void* device)
{
    zrv_core::IBDevice* ib = AsIBDevice(device);
    if (!ib) return 0;
    return Guarded(__func__, __LINE__, 0, [&] { return ib->IsClassASupported(method); });
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

/* 0 for any other device, and when the query throws: the core then sends no register. */
int get_register_maximum_size(void* device)
{
    auto* switch_os = dynamic_cast<CorvelleOSDevice*>(AsDevice(device));
    if (!switch_os) return 0;
    return Guarded(__func__, __LINE__, 0, [&] { return switch_os->GetRegisterMaximumSize(); });
}

/* ---- USB-to-I2C and NDC adapters (TQUSBDevice, NDCDevice) ---- */

static USBDevice* AsUSB(void* device) { return dynamic_cast<USBDevice*>(AsDevice(device)); }

/* The USB adapter's result of `operation`, 1 when it throws or the device is
 * no adapter. */
template <typename Operation>
static int Adapter(const char* function, int line, void* device, Operation operation)
{
    USBDevice* usb = AsUSB(device);
    if (!usb) return 1;
    return Guarded(function, line, 1, [&] { return operation(*usb); });
}

int tqusb_access_set_frequency(uint32_t frequency, void* device)
{
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) { return usb.SetI2CFrequency(frequency); });
}

int tqusb_access_get_frequency(int* out, void* device)
{
    if (!out) return 1;
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) {
        *out = usb.GetI2CFrequency();
        return 0;
    });
}

int tqusb_detect(uint8_t* map, void* device)
{
    if (!map) return 1;
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) { return usb.ScanI2CSecondary(map); });
}

void tqusb_set_i2c_address_width(uint32_t width, void* device)
{
    if (USBDevice* usb = AsUSB(device)) usb->SetI2CAddressWidth(width);
}

int tqusb_read(uint32_t offset, uint32_t length, void* data, void* device)
{
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) {
        usb.Read(offset, length, static_cast<uint32_t*>(data));
        return 0;
    });
}

int tqusb_write(uint32_t offset, uint32_t length, void* data, void* device)
{
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) {
        usb.Write(offset, length, static_cast<uint32_t*>(data));
        return 0;
    });
}

int tqusb_get_version(uint32_t* major, uint32_t* minor, void* device)
{
    if (!major || !minor) return 1;
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) { return usb.GetFWVersion(*major, *minor); });
}

int tqusb_get_serial_number(uint32_t* serial, void* device)
{
    if (!serial) return 1;
    return Adapter(__func__, __LINE__, device, [&](USBDevice& usb) {
        usb.GetSerialNumber(*serial);
        return 0;
    });
}

void tqusb_update_slave_address(uint32_t address, void* device)
{
    if (USBDevice* usb = AsUSB(device)) usb->SetI2CSlaveAddress(address & 0xFF);
}
