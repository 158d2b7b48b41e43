/*
 * device_bridge.h - the flat functions through which the device access core
 * uses device objects (switch OS, JTAG, InfiniBand, USB and NDC adapters,
 * NicX, i2c-dev, GPU). The device pointer is opaque to the caller.
 */
#ifndef VEXIL_DEVICE_BRIDGE_H
#define VEXIL_DEVICE_BRIDGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Builds the device object the name selects: its communication type, 0 when
 * no class matches (null device), -1 with errno set when the object cannot
 * be built (a message on standard error when the failure is not the
 * device's own, such as a library that cannot be loaded). The last two
 * arguments are not read.
 *
 * No function lets an exception out; each gives its failure value instead
 * (-1 for device operations, 0 for the capability queries), and so does a
 * null device or one of another class than the function needs. */
int init_device(const char* name, void** device, int reserved, int chip);
int destroy_device(void* device);
int reg_access_send(uint32_t* buffer, uint32_t length, uint32_t reg_id, int* status,
                    void* device);
int reg_access_get(uint32_t* buffer, uint32_t length, uint32_t reg_id, int* status,
                   void* device);
int config_space_access_read(uint32_t address, uint32_t length, uint32_t* data, void* device);
int config_space_access_write(uint32_t address, uint32_t length, uint32_t* data, void* device);
void i2c_set_i2c_address_width(uint32_t width, void* device);
void i2c_update_secondary_address(uint32_t address, void* device);
/* 1 or 0; -1 while the capability probe went unanswered (it is asked again
 * next time); 0 for any other device. */
int is_gmp_supported(int method, void* device);
int is_class_a_supported(int method, void* device);
/* 56 or 224 for an InfiniBand device; 0 for any other, which refuses blocks. */
int get_ib_max_chunk_size(void* device);
/* Largest register image in bytes of a switch-OS device object; 0 for any other device or when
 * the SDK cannot be asked. */
int get_register_maximum_size(void* device);
int reset_ib_device(void* device);
void force_use_smp(void* device);
int mad_set(void* data, uint32_t attribute_id, uint32_t attribute_modifier, void* device);
int mad_get(void* data, uint32_t attribute_id, uint32_t attribute_modifier, void* device);

/* USB-to-I2C and NDC adapter functions. */
int tqusb_access_set_frequency(uint32_t frequency, void* device);
int tqusb_access_get_frequency(int* out, void* device);
int tqusb_detect(uint8_t* map, void* device);
void tqusb_set_i2c_address_width(uint32_t width, void* device);
int tqusb_read(uint32_t offset, uint32_t length, void* data, void* device);
int tqusb_write(uint32_t offset, uint32_t length, void* data, void* device);
int tqusb_get_version(uint32_t* major, uint32_t* minor, void* device);
int tqusb_get_serial_number(uint32_t* serial, void* device);
void tqusb_update_slave_address(uint32_t address, void* device);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_DEVICE_BRIDGE_H */
