// A cable plug-in for tests that has every entry point but refuses to open a cable or a cable
// chip, so that the open's failure path runs through the real loader.
#include <cstdint>

struct mfile;

extern "C" {

int refusing_cable_opens = 0;  // calls of either open entry, read back through dlsym

int mcables_open(mfile*, int) {
  ++refusing_cable_opens;
  return 1;
}
int mcables_close(mfile*) { return 0; }
int mcables_read4(mfile*, unsigned int, uint32_t*) { return 1; }
int mcables_write4(mfile*, unsigned int, uint32_t) { return 1; }
int mcables_read4_block(mfile*, unsigned int, uint32_t*, int size) { return size; }
int mcables_write4_block(mfile*, unsigned int, uint32_t*, int size) { return size; }
int mcables_read_bytes(mfile*, uint32_t, uint32_t, uint8_t*, int, void*) { return -1; }
int mcables_write_bytes(mfile*, uint32_t, uint32_t, uint8_t*) { return -1; }
int mcables_chip_open(mfile*, int, int) {
  ++refusing_cable_opens;
  return -1;
}
int mcables_chip_close(mfile*) { return 0; }
int mcables_chip_read4(mfile*, unsigned int, uint32_t*) { return 1; }
int mcables_chip_write4(mfile*, unsigned int, uint32_t) { return 1; }
int mcables_chip_read4_block(mfile*, unsigned int, uint32_t*, int) { return 1; }
int mcables_chip_write4_block(mfile*, unsigned int, uint32_t*, int) { return 1; }
int cdb_maccess_reg(mfile*, void*) { return 1; }

}  // extern "C"
