// A cable plug-in for tests: every entry point of the cable library, over 256 bytes of memory
// (cable and chip alike), answering the hardware-id address with test_cable_hw_id and counting the
// calls of each entry. Built twice: whole, and without mcables_write_bytes (a library that lacks
// an entry point).
#include <cstdint>
#include <cstring>

struct mfile;

extern "C" {

uint8_t test_cable_memory[256];
int test_cable_port = -1;
int test_cable_last_mode = -1;
void* test_cable_last_callback = nullptr;
int test_cable_closes = 0;
int test_cable_opens = 0, test_cable_read4s = 0, test_cable_write4s = 0;
int test_cable_block_reads = 0, test_cable_block_writes = 0;
int test_cable_chip_opens = 0, test_cable_chip_read4s = 0, test_cable_chip_write4s = 0;
int test_cable_chip_block_reads = 0, test_cable_chip_block_writes = 0;
uint32_t test_cable_hw_id = 0x00010CAB;
// Called by either open entry when set: shows a test the handle as the plug-in gets it.
void (*test_cable_open_hook)(mfile*) = nullptr;

static int read_memory(unsigned int offset, void* data, unsigned int size) {
  if (offset == 0xF0014 && size == 4) {
    std::memcpy(data, &test_cable_hw_id, 4);
    return 0;
  }
  if (offset > sizeof(test_cable_memory) || size > sizeof(test_cable_memory) - offset) return 1;
  std::memcpy(data, test_cable_memory + offset, size);
  return 0;
}
static int write_memory(unsigned int offset, const void* data, unsigned int size) {
  if (offset > sizeof(test_cable_memory) || size > sizeof(test_cable_memory) - offset) return 1;
  std::memcpy(test_cable_memory + offset, data, size);
  return 0;
}

int mcables_open(mfile* mf, int port) {
  ++test_cable_opens;
  test_cable_port = port;
  if (test_cable_open_hook) test_cable_open_hook(mf);
  return 0;
}
int mcables_close(mfile*) {
  ++test_cable_closes;
  return 0;
}
int mcables_read4(mfile*, unsigned int offset, uint32_t* value) {
  ++test_cable_read4s;
  return read_memory(offset, value, 4);
}
int mcables_write4(mfile*, unsigned int offset, uint32_t value) {
  ++test_cable_write4s;
  return write_memory(offset, &value, 4);
}
// The block entries report the bytes not done: all of them when the range is outside the memory.
int mcables_read4_block(mfile*, unsigned int offset, uint32_t* data, int size) {
  ++test_cable_block_reads;
  return read_memory(offset, data, static_cast<unsigned>(size)) ? size : 0;
}
int mcables_write4_block(mfile*, unsigned int offset, uint32_t* data, int size) {
  ++test_cable_block_writes;
  return write_memory(offset, data, static_cast<unsigned>(size)) ? size : 0;
}

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

int mcables_chip_open(mfile* mf, int, int) {
  ++test_cable_chip_opens;
  if (test_cable_open_hook) test_cable_open_hook(mf);
  return 0;
}
int mcables_chip_close(mfile*) { return 0; }
int mcables_chip_read4(mfile*, unsigned int offset, uint32_t* value) {
  ++test_cable_chip_read4s;
  return read_memory(offset, value, 4);
}
int mcables_chip_write4(mfile*, unsigned int offset, uint32_t value) {
  ++test_cable_chip_write4s;
  return write_memory(offset, &value, 4);
}
int mcables_chip_read4_block(mfile*, unsigned int offset, uint32_t* data, int size) {
  ++test_cable_chip_block_reads;
  return read_memory(offset, data, static_cast<unsigned>(size));
}
int mcables_chip_write4_block(mfile*, unsigned int offset, uint32_t* data, int size) {
  ++test_cable_chip_block_writes;
  return write_memory(offset, data, static_cast<unsigned>(size));
}
int cdb_maccess_reg(mfile*, void*) { return 0; }

}  // extern "C"
