// The fake libibmad: the thirteen entry points over one simulated adapter (fake_libibmad.h).
#include "fake_libibmad.h"

#include <endian.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <type_traits>

#include "LibIBMadRecords.h"
#include "tlv_frames.h"

using namespace zrv_core::ibmad;

namespace fake_ibmad {
namespace {

constexpr unsigned kSmpData = 64;
constexpr unsigned kVendorData = 232;
constexpr unsigned kClassAData = 224;
constexpr unsigned kGmpBlock = 220;
constexpr int kStatusBadData = 0x1C;
constexpr int kStatusAttributeNotSupported = 0x0C;

char the_port[64];  // what an open returns; never looked into

uint32_t load_be32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return be32toh(v);
}
void store_be32(uint8_t* p, uint32_t v) {
  v = htobe32(v);
  memcpy(p, &v, 4);
}

// The MAD status a register status travels as over GMP.
int gmp_status_of(uint8_t reg_status) {
  switch (reg_status) {
    case 1: return 1;
    case 4: return 20;
    case 5: return 4;
    case 6: return 12;
    default: return 28;
  }
}

}  // namespace

Adapter::Adapter() {
  reset();
  if (const char* path = getenv("FAKE_IBMAD_RECORD")) record_path = path;
  if (const char* words = getenv("FAKE_IBMAD_FAULTS")) {
    std::stringstream list(words);
    std::string w;
    while (std::getline(list, w, ',')) {
      if (w == "refuse_port") faults.refuse_port = true;
      else if (w == "refuse_smp_port") faults.refuse_smp_port = true;
      else if (w == "unresolved") faults.unresolved = true;
      else if (w == "no_gmp_cr") faults.no_gmp_cr = true;
      else if (w == "no_reg_gmp") faults.no_reg_gmp = true;
      else if (w == "no_reply") faults.no_reply = true;
      else if (w == "unmanaged") faults.unmanaged = true;
    }
  }
  const char* seed = getenv("FAKE_IBMAD_SEED");
  if (seed && strcmp(seed, "1") == 0) {
    accelerator->add_group("alpha", {0, 1, 2, 3});
    accelerator->add_partition({1, 2}, {8, 9, 10, 11}, 2);
    // Twenty VHCA ids: entries 14 on lie past the first 220-byte block.
    std::vector<uint16_t> many;
    for (uint16_t id = 3; id <= 22; ++id) many.push_back(id);
    accelerator->add_group("beta", {4, 5});
    accelerator->add_partition(many, {12, 13}, 1);
    registers.reset_counts();
  }
}

void Adapter::reset() {
  registers = vexil_sim::RegisterStore();
  accelerator = vexil_sim::Accelerator::install(registers);
  cr.clear();
  cr[0xF0014] = 0x212;
  register_sizes = {{vexil_sim::kRegNicCapExt, 128},
                    {vexil_sim::kRegNicHxuEug, 256},
                    {vexil_sim::kRegNicHxuEuPartition, 768}};
  faults = Faults();
  calls.clear();
  open_ports = 0;
  classes.clear();
  semaphore_key = 0;
  mkey = 0;
}

namespace {

Adapter& far_end() {
  static Adapter adapter;
  return adapter;
}

void record(const Call& call) {
  Adapter& a = far_end();
  a.calls.push_back(call);
  if (a.record_path.empty()) return;
  FILE* f = fopen(a.record_path.c_str(), "a");
  if (!f) return;
  fprintf(f, "%s class=0x%x method=%u attr=0x%x mod=0x%x\n", call.entry.c_str(), call.mgmt_class,
          call.method, call.attribute, call.modifier);
  fclose(f);
}

// A register SET that reached the store: a line of its own in the record.
void record_register_set(uint16_t register_id) {
  Adapter& a = far_end();
  if (a.record_path.empty()) return;
  FILE* f = fopen(a.record_path.c_str(), "a");
  if (!f) return;
  fprintf(f, "register_set id=0x%x\n", register_id);
  fclose(f);
}

Call make_call(const char* entry, unsigned mgmt_class, unsigned method, unsigned attribute,
               unsigned modifier, const void* data, unsigned size) {
  Call c;
  c.entry = entry;
  c.mgmt_class = mgmt_class;
  c.method = method;
  c.attribute = attribute;
  c.modifier = modifier;
  if (data) c.sent.assign((const uint8_t*)data, (const uint8_t*)data + size);
  return c;
}

// A register frame (operation TLV, register TLV, image) in a carrier of `size` bytes.
void register_frame(uint8_t* data, unsigned size) {
  using namespace vexil_sim;
  OperationTlv op = decode_operation_tlv(data);
  RegTlv reg = decode_reg_tlv(data + kOperationTlvBytes);
  const unsigned room = size - kOperationTlvBytes - kRegTlvBytes;
  unsigned length = reg.len ? reg.len * 4u - 4u : 0;
  op.r = 1;
  if (op.type != kOperationTlvType || reg.type != kRegTlvType || length > room) {
    op.status = kRegStatusBadParameter;
    encode_operation_tlv(op, data);
    return;
  }
  RegisterAccess access;
  access.register_id = op.register_id;
  access.method = op.method;
  uint8_t* image = data + kOperationTlvBytes + kRegTlvBytes;
  access.image.assign(image, image + length);
  if (access.method == kMethodSet) record_register_set(access.register_id);
  op.status = far_end().registers.execute(access);
  memcpy(image, access.image.data(), std::min<size_t>(length, access.image.size()));
  encode_operation_tlv(op, data);
}

// CR space packets: dwords or records from byte 8 of a data area of `size` bytes.
bool cr_packet(uint8_t* data, unsigned size, unsigned modifier, bool set) {
  Adapter& a = far_end();
  if (modifier & 0x800000) {
    const unsigned records = (modifier >> 16) & 0x7F;
    if (8 + 12 * records > size) return false;
    for (unsigned k = 0; k < records; ++k) {
      uint8_t* r = data + 8 + 12 * k;
      const uint32_t address = load_be32(r);
      if (set) {
        const uint32_t mask = load_be32(r + 8);
        a.cr[address] = (a.cr[address] & ~mask) | (load_be32(r + 4) & mask);
      }
      store_be32(r + 4, a.cr[address]);
    }
    return true;
  }
  const unsigned dwords = (modifier >> 16) & 0xFF;
  if (8 + 4 * dwords > size) return false;
  const uint32_t address = ((modifier >> 24) << 16) | (modifier & 0xFFFF);
  for (unsigned k = 0; k < dwords; ++k) {
    if (set) a.cr[address + 4 * k] = load_be32(data + 8 + 4 * k);
    store_be32(data + 8 + 4 * k, a.cr[address + 4 * k]);
  }
  return true;
}

// The in-band semaphore: query, lock (op 1) and release (op 3).
void semaphore(uint8_t* data) {
  using vexil_sim::get_bits;
  using vexil_sim::set_bits;
  Adapter& a = far_end();
  const unsigned op = get_bits(data, 46, 2);
  const uint32_t key = get_bits(data, 64, 32);
  set_bits(data, 24, 8, a.max_sem_addr);
  if (op == 1) {
    uint32_t given = 0;
    if (a.semaphore_key == 0) given = a.semaphore_key = 0x5EA0001;
    set_bits(data, 64, 32, given);
  } else if (op == 3) {
    if (key && key == a.semaphore_key) a.semaphore_key = 0;
    set_bits(data, 64, 32, a.semaphore_key);
  }
}

// One SMP; the answer is left in `data` (64 bytes). Returns the MAD status, or -1 for no reply.
int smp(uint8_t* data, unsigned attribute, unsigned modifier, bool set) {
  const Faults& f = far_end().faults;
  if (f.no_reply) return -1;
  if (f.status_attribute == attribute) return f.status;
  switch (attribute) {
    case 0xFF52:
      register_frame(data, kSmpData);
      return 0;
    case 0xFF50:
      return cr_packet(data, kSmpData, modifier, set) ? 0 : kStatusBadData;
    case 0xFF53:
      semaphore(data);
      return 0;
    case 0x12:
      if (f.unmanaged) return -1;
      data[16] = (uint8_t)(f.enhanced_port ? 0x08 : 0);
      return 0;
    default:
      return kStatusAttributeNotSupported;
  }
}

uint8_t* smp_call(const char* entry, void* buf, unsigned attribute, unsigned modifier,
                  unsigned timeout, int* rstatus, bool set) {
  Call c = make_call(entry, 0, set ? 2 : 1, attribute, modifier, buf, kSmpData);
  c.timeout = (int)timeout;
  c.key = far_end().mkey;
  record(c);
  const int status = smp((uint8_t*)buf, attribute, modifier, set);
  if (rstatus) *rstatus = status < 0 ? 0 : status;
  return status == 0 ? (uint8_t*)buf : nullptr;
}

// A vendor GMP register access, one 220-byte block per MAD. A read answers each block on its
// own: the block's request names the register instance (its index fields lie in the first 220
// bytes), the register is read and the block's part of it goes back. A write gathers the blocks
// and writes the register with the last one.
std::map<uint16_t, std::vector<uint8_t>> writes;

int gmp_register(uint8_t* data, unsigned method, uint16_t register_id) {
  Adapter& a = far_end();
  auto size_it = a.register_sizes.find(register_id);
  const unsigned size = size_it == a.register_sizes.end() ? kGmpBlock : size_it->second;
  const unsigned blocks = (size + kGmpBlock - 1) / kGmpBlock;
  const unsigned block = (unsigned)(data[8] << 8 | data[9]);
  if (block >= blocks) return kStatusBadData;
  const unsigned at = block * kGmpBlock;
  const unsigned take = std::min(kGmpBlock, size - at);
  vexil_sim::RegisterAccess access;
  access.register_id = register_id;
  access.method = (uint8_t)method;
  if (method == 1) {
    access.image.assign(size, 0);
    memcpy(access.image.data(), data + 12, std::min(kGmpBlock, size));
    const uint8_t status = a.registers.execute(access);
    if (status) return gmp_status_of(status);
    access.image.resize(size);
  } else if (method == 2) {
    std::vector<uint8_t>& image = writes[register_id];
    if (block == 0 || image.size() != size) image.assign(size, 0);
    memcpy(image.data() + at, data + 12, take);
    access.image = image;
    if (block + 1 == blocks) {
      record_register_set(register_id);
      const uint8_t status = a.registers.execute(access);
      if (status) return gmp_status_of(status);
    }
  } else {
    return kStatusBadData;
  }
  memset(data + 12, 0, kGmpBlock);
  memcpy(data + 12, access.image.data() + at, take);
  return 0;
}

// General information: dword 34 carries the register-access (20) and reset (25) bits.
void general_info(uint8_t* data) {
  const Faults& f = far_end().faults;
  memset(data + 8, 0, kVendorData - 8);
  uint32_t caps = 0;
  if (!f.no_reg_gmp) caps |= 1u << 20;
  if (f.reset_supported) caps |= 1u << 25;
  store_be32(data + 4 * 34, caps);
}

// One vendor GMP of class 0x0A; returns the MAD status, or -1 for no reply.
int vendor(uint8_t* data, unsigned method, unsigned attribute, unsigned modifier) {
  const Faults& f = far_end().faults;
  if (f.no_reply) return -1;
  if (f.status_attribute == attribute) return f.status;
  switch (attribute) {
    case 0x17:
      general_info(data);
      return 0;
    case 0x50:
      if (f.no_gmp_cr) return -1;
      return cr_packet(data, kVendorData, modifier, method == 2) ? 0 : kStatusBadData;
    case 0x51:
      return gmp_register(data, method, (uint16_t)modifier);
    case 0x12:
      return 0;
    default:
      return kStatusAttributeNotSupported;
  }
}

}  // namespace
}  // namespace fake_ibmad

using fake_ibmad::Call;
using fake_ibmad::far_end;
using fake_ibmad::make_call;
using fake_ibmad::record;

extern "C" {

fake_ibmad::Adapter* fake_ibmad_adapter() { return &far_end(); }

sPort* mad_rpc_open_port(char* dev_name, int dev_port, int* mgmt_classes, int num_classes) {
  fake_ibmad::Adapter& a = far_end();
  record(make_call("mad_rpc_open_port", 0, 0, 0, 0, nullptr, 0));
  a.ca_name = dev_name ? dev_name : "";
  a.port_number = dev_port;
  a.classes.assign(mgmt_classes, mgmt_classes + num_classes);
  if (a.faults.refuse_port) return nullptr;
  for (int c : a.classes)
    if (a.faults.refuse_smp_port && (c == 0x01 || c == 0x81)) return nullptr;
  ++a.open_ports;
  return reinterpret_cast<sPort*>(fake_ibmad::the_port);
}

void mad_rpc_close_port(sPort*) {
  record(make_call("mad_rpc_close_port", 0, 0, 0, 0, nullptr, 0));
  --far_end().open_ports;
}

void mad_rpc_set_retries(sPort*, int retries) { far_end().retries = retries; }

void mad_rpc_set_timeout(sPort*, int timeout) { far_end().timeout = timeout; }

int ib_resolve_portid_str_via(sPortId* portid, char* addr_str, int dest, sPortId*, const sPort*) {
  fake_ibmad::Adapter& a = far_end();
  record(make_call("ib_resolve_portid_str_via", 0, 0, 0, 0, nullptr, 0));
  a.resolved = addr_str ? addr_str : "";
  a.resolved_kind = dest;
  if (a.faults.unresolved || !addr_str) return -1;
  memset(portid, 0, sizeof(*portid));
  if (dest == oDestLid) {
    portid->lid = (int)strtol(addr_str, nullptr, 0);
  } else {
    std::stringstream path(a.resolved);
    std::string hop;
    while (std::getline(path, hop, ',') && portid->drpath.cnt < oSubnetPathHopsMax)
      portid->drpath.p[portid->drpath.cnt++] = (uint8_t)strtoul(hop.c_str(), nullptr, 0);
  }
  return 0;
}

void smp_mkey_set(sPort*, uint64_t mkey) { far_end().mkey = mkey; }

uint8_t* smp_query_via(void* buf, sPortId*, unsigned attrid, unsigned mod, unsigned timeout,
                       const sPort*) {
  return fake_ibmad::smp_call("smp_query_via", buf, attrid, mod, timeout, nullptr, false);
}

uint8_t* smp_query_status_via(void* buf, sPortId*, unsigned attrid, unsigned mod,
                              unsigned timeout, int* rstatus, const sPort*) {
  return fake_ibmad::smp_call("smp_query_status_via", buf, attrid, mod, timeout, rstatus, false);
}

uint8_t* smp_set_via(void* buf, sPortId*, unsigned attrid, unsigned mod, unsigned timeout,
                     const sPort*) {
  return fake_ibmad::smp_call("smp_set_via", buf, attrid, mod, timeout, nullptr, true);
}

uint8_t* smp_set_status_via(void* buf, sPortId*, unsigned attrid, unsigned mod, unsigned timeout,
                            int* rstatus, const sPort*) {
  return fake_ibmad::smp_call("smp_set_status_via", buf, attrid, mod, timeout, rstatus, true);
}

uint8_t* ib_vendor_call_via(void* data, sPortId* portid, sVendorCall* call, sPort*) {
  Call c = make_call("ib_vendor_call_via", call->mgmt_class, call->method, call->attrid, call->mod,
                     data, fake_ibmad::kVendorData);
  c.timeout = (int)call->timeout;
  record(c);
  // A GMP travels by LID only: on a directed route nothing answers it.
  if (call->mgmt_class != 0x0A || !portid || portid->lid <= 0) return nullptr;
  return fake_ibmad::vendor((uint8_t*)data, call->method, call->attrid, call->mod) == 0
             ? (uint8_t*)data
             : nullptr;
}

void* mad_rpc_rmpp(const sPort*, sRpcV1* rpc, sPortId*, sRmppHeader*, void* data) {
  const unsigned mgmt_class = (unsigned)rpc->mgtclass & 0xFF;
  Call c = make_call("mad_rpc_rmpp", mgmt_class, (unsigned)rpc->method, rpc->attr.id,
                     rpc->attr.mod, data, (unsigned)rpc->datasz);
  c.timeout = rpc->timeout;
  record(c);
  rpc->error = 0;
  const int status = mgmt_class == 0x0A && rpc->datasz == (int)fake_ibmad::kVendorData
                         ? fake_ibmad::vendor((uint8_t*)data, (unsigned)rpc->method, rpc->attr.id,
                                              rpc->attr.mod)
                         : fake_ibmad::kStatusAttributeNotSupported;
  rpc->rstatus = status < 0 ? 0 : (uint32_t)status;
  if (status < 0) rpc->error = 110;  // ETIMEDOUT
  return status == 0 ? data : nullptr;
}

void* mad_rpc(const sPort*, sRpcV1* rpc, sPortId*, void* payload, void* rcvdata) {
  const unsigned mgmt_class = (unsigned)rpc->mgtclass & 0xFF;
  Call c = make_call("mad_rpc", mgmt_class, (unsigned)rpc->method, rpc->attr.id, rpc->attr.mod,
                     payload, (unsigned)rpc->datasz);
  c.timeout = rpc->timeout;
  c.key = rpc->mkey;
  record(c);
  rpc->error = 0;
  const fake_ibmad::Faults& f = far_end().faults;
  int status = 0;
  if (f.no_reply) {
    status = -1;
  } else if (f.status_attribute == rpc->attr.id) {
    status = f.status;
  } else if (mgmt_class != 0x0A || rpc->attr.id != 0xFF52 ||
             rpc->datasz != (int)fake_ibmad::kClassAData) {
    status = fake_ibmad::kStatusAttributeNotSupported;
  } else {
    memmove(rcvdata, payload, fake_ibmad::kClassAData);
    fake_ibmad::register_frame((uint8_t*)rcvdata, fake_ibmad::kClassAData);
  }
  rpc->rstatus = status < 0 ? 0 : (uint32_t)status;
  if (status < 0) rpc->error = 110;
  return status == 0 ? rcvdata : nullptr;
}

}  // extern "C"

// Each entry point has the type the device layer calls it through (LibIBMadRecords.h).
template <typename Declared, typename Defined>
constexpr bool same_entry(Defined) { return std::is_same<Declared, Defined>::value; }
static_assert(same_entry<fMadRpcOpenPort>(&mad_rpc_open_port) &&
                  same_entry<fMadRpcClosePort>(&mad_rpc_close_port) &&
                  same_entry<fMadRpcSetRetries>(&mad_rpc_set_retries) &&
                  same_entry<fMadRpcSetTimeout>(&mad_rpc_set_timeout) &&
                  same_entry<fMadRpc>(&mad_rpc) && same_entry<fSmpQueryVia>(&smp_query_via) &&
                  same_entry<fIbResolvePortIdStrVia>(&ib_resolve_portid_str_via) &&
                  same_entry<fIbVendorCallVia>(&ib_vendor_call_via) &&
                  same_entry<fSmpQueryStatusVia>(&smp_query_status_via) &&
                  same_entry<fSmpSetVia>(&smp_set_via) &&
                  same_entry<fSmpSetStatusVia>(&smp_set_status_via) &&
                  same_entry<fMadRpcRmpp>(&mad_rpc_rmpp) && same_entry<fSmpMkeySet>(&smp_mkey_set),
              "the fake's entry points and the declared ones differ");
