// The register-access plug-in for tests, built as the real one is: reg_access_mddt is the register
// library's MDDT function (the common frame over the generated MDDT layout), which packs the record
// the core hands it and delivers it as register 0x9160 with maccess_reg of the program that loads
// the plug-in. The test programs that load it export that one symbol. reg_access_mgir only counts.
#include <cstddef>

#include "gearbox.h"
#include "reg_access_frame.h"
#include "reg_access_switch_layouts.h"

// The core's record is the MDDT layout's record, field for field.
static_assert(sizeof(mddt_record) == sizeof(reg_access_switch_mddt_reg_ext), "record size");
static_assert(offsetof(mddt_record, lane) == offsetof(reg_access_switch_mddt_reg_ext, slot_index), "lane");
static_assert(offsetof(mddt_record, read_size) == offsetof(reg_access_switch_mddt_reg_ext, read_size), "sizes");
static_assert(offsetof(mddt_record, payload.prm.status) ==
                  offsetof(reg_access_switch_mddt_reg_ext, prm_register_payload_ext.status), "status");
static_assert(offsetof(mddt_record, payload.crspace.data) ==
                  offsetof(reg_access_switch_mddt_reg_ext, crspace_access_payload_ext.data), "CR data");

extern "C" {

int test_reg_access_calls = 0;

int reg_access_mddt(mfile* mf, uint32_t method, reg_access_switch_mddt_reg_ext* reg) {
  ++test_reg_access_calls;
  return reg_access_frame::access<reg_access_switch_mddt_reg_ext, reg_access_switch_mddt_reg_ext_pack,
                                  reg_access_switch_mddt_reg_ext_unpack,
                                  reg_access_switch_mddt_reg_ext_size>(mf, MDDT_REG_ID, method, reg);
}

int reg_access_mgir(mfile*, int, void*) {
  ++test_reg_access_calls;
  return 0;
}

}  // extern "C"
