// A cable plug-in for tests: every entry point of the cable library, over 256 bytes of memory.
// Built twice: whole, and without mcables_write_bytes (a library that lacks an entry point).
#include <cstdint>
#include <cstring>

struct mfile;

extern "C" {

uint8_t test_cable_memory[256];
int test_cable_port = -1;
int test_cable_last_mode = -1;
void* test_cable_last_callback = nullptr;
int test_cable_closes = 0;

int mcables_open(mfile*, int port) {
  test_cable_port = port;
  return 0;
}
int mcables_close(mfile*) {
  ++test_cable_closes;
  return 0;
}
int mcables_read4(mfile*, unsigned int offset, uint32_t* value) {
  if (offset > sizeof(test_cable_memory) - 4) return 1;
  std::memcpy(value, test_cable_memory + offset, 4);
  return 0;
}
int mcables_write4(mfile*, unsigned int offset, uint32_t value) {
  if (offset > sizeof(test_cable_memory) - 4) return 1;
  std::memcpy(test_cable_memory + offset, &value, 4);
  return 0;
}
int mcables_read4_block(mfile*, unsigned int, uint32_t*, int) { return 0; }
int mcables_write4_block(mfile*, unsigned int, uint32_t*, int) { return 0; }

#ifndef TEST_CABLE_OMIT_WRITE_BYTES
int mcables_write_bytes(mfile*, uint32_t address, uint32_t length, uint8_t* data) {
  if (address > sizeof(test_cable_memory) || length > sizeof(test_cable_memory) - address) return -1;
  std::memcpy(test_cable_memory + address, data, length);
  return 0;
}
#endif

typedef int (*write_bytes_fn)(mfile*, uint32_t, uint32_t, uint8_t*);
int mcables_read_bytes(mfile*, uint32_t address, uint32_t length, uint8_t* data, int mode,
                       write_bytes_fn write_bytes) {
  test_cable_last_mode = mode;
  test_cable_last_callback = reinterpret_cast<void*>(write_bytes);
  if (address > sizeof(test_cable_memory) || length > sizeof(test_cable_memory) - address) return -1;
  std::memcpy(data, test_cable_memory + address, length);
  return 0;
}

int mcables_chip_open(mfile*, int, int) { return 0; }
int mcables_chip_close(mfile*) { return 0; }
int mcables_chip_read4(mfile*, unsigned int, uint32_t*) { return 0; }
int mcables_chip_write4(mfile*, unsigned int, uint32_t) { return 0; }
int mcables_chip_read4_block(mfile*, unsigned int, uint32_t*, int) { return 0; }
int mcables_chip_write4_block(mfile*, unsigned int, uint32_t*, int) { return 0; }
int cdb_maccess_reg(mfile*, void*) { return 0; }

}  // extern "C"
