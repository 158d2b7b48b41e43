/*
 * device_bridge.cpp - flat functions over device objects.
 * Placeholder until the device classes land: a name that would select a
 * device class fails (-1), every other name selects none (0, null device),
 * and no device operation can succeed.
 */
#include "device_bridge.h"

#include <errno.h>
#include <string.h>

/* Substrings that select a device class, in matching order. */
static const char* const class_substrings[] = {"crvlsw-", "objtag", "lid-", "ibdr-", "obl-",
                                                "tqusb-",  "/dev/bus/usb/", "nicx",
                                                "dev-i2c", "gpu", "ndc-"};

int init_device(const char* name, void** device, int, int)
{
    if (device) *device = nullptr;
    if (!name) return 0;
    for (const char* sub : class_substrings) {
        if (strstr(name, sub)) {
            errno = ENOTSUP;
            return -1;
        }
    }
    return 0;
}
int destroy_device(void*) { return 0; }
int reg_access_send(uint32_t*, uint32_t, uint32_t, int*, void*) { return -1; }
int reg_access_get(uint32_t*, uint32_t, uint32_t, int*, void*) { return -1; }
int config_space_access_read(uint32_t, uint32_t, uint32_t*, void*) { return -1; }
int config_space_access_write(uint32_t, uint32_t, uint32_t*, void*) { return -1; }
void i2c_set_i2c_address_width(uint32_t, void*) {}
void i2c_update_secondary_address(uint32_t, void*) {}
int is_gmp_supported(int, void*) { return 0; }
int is_class_a_supported(int, void*) { return 0; }
int get_ib_max_chunk_size(void*) { return 56; }
int get_register_maximum_size(void*) { return 0; }
int reset_ib_device(void*) { return -1; }
void force_use_smp(void*) {}
int mad_set(void*, uint32_t, uint32_t, void*) { return -1; }
int mad_get(void*, uint32_t, uint32_t, void*) { return -1; }
int tqusb_access_set_frequency(uint32_t, void*) { return 1; }
int tqusb_access_get_frequency(int*, void*) { return 1; }
int tqusb_detect(uint8_t*, void*) { return 1; }
void tqusb_set_i2c_address_width(uint32_t, void*) {}
int tqusb_read(uint32_t, uint32_t, void*, void*) { return 1; }
int tqusb_write(uint32_t, uint32_t, void*, void*) { return 1; }
int tqusb_get_version(uint32_t*, uint32_t*, void*) { return 1; }
int tqusb_get_serial_number(uint32_t*, void*) { return 1; }
void tqusb_update_slave_address(uint32_t, void*) {}
