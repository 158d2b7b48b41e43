// A fake libibmad ("libibmad.so.5", or ".so.12" for the fallback) with the thirteen entry points
// the device layer uses, playing one adapter at the far end of the subnet: access registers from
// a register store with the accelerator installed (SMP and Class A attribute 0xFF52, vendor GMP
// attribute 0x51 in 220-byte blocks, each read block answered from its own request), CR space
// (SMP 0xFF50, GMP 0x50, modes 0 and 2), the GMP general information (0x17), SwitchInfo (SMP
// 0x12), the in-band semaphore (SMP 0xFF53) and the reset GMP (0x12). Every call is recorded.
//
// In a test process: dlopen("libibmad.so.5") through LD_LIBRARY_PATH and call the exported
// fake_ibmad_adapter() to reach the far end. For the tool run as a process, the environment sets
// it up when the library loads:
//   FAKE_IBMAD_RECORD=<path>   appends one line per call: "<entry> class=.. method=.. attr=..
//                              mod=.." (class 0 for SMPs), and "register_set id=.." for
//                              every register SET that reaches the register store
//   FAKE_IBMAD_FAULTS=<words>  comma-separated: refuse_port, refuse_smp_port, unresolved,
//                              no_gmp_cr, no_reg_gmp, no_reply, unmanaged
//   FAKE_IBMAD_SEED=1          before the first call: groups "alpha" (EUs 0-3) and "beta"
//                              (EUs 4-5), partitions of EUs 8-11 (VHCA ids 1 and 2, 2 reserved
//                              groups) and of EUs 12-13 (VHCA ids 3-22, 1 reserved group)
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "accelerator.h"
#include "register_store.h"

namespace fake_ibmad {

struct Call {
  std::string entry;
  unsigned mgmt_class = 0;  // 0 for SMPs; without the RPC version bit
  unsigned method = 0;
  unsigned attribute = 0;
  unsigned modifier = 0;
  int timeout = 0;
  uint64_t key = 0;              // the M_Key set, or the Class A key of the RPC
  std::vector<uint8_t> sent;     // the MAD data as sent
};

struct Faults {
  bool refuse_port = false;       // every port open fails
  bool refuse_smp_port = false;   // opens asking for the SMP classes fail
  bool unresolved = false;        // address resolution fails
  bool no_gmp_cr = false;         // CR space over GMP is not answered
  bool no_reg_gmp = false;        // the general information clears the register-access bit
  bool no_reply = false;          // no MAD is answered
  bool unmanaged = false;         // SwitchInfo is not answered
  bool enhanced_port = false;     // SwitchInfo's enhanced port 0 flag
  bool reset_supported = true;    // general information bit 25
  unsigned status_attribute = 0;  // MADs of this attribute answer with `status` (0: none)
  int status = 0;
};

struct Adapter {
  vexil_sim::RegisterStore registers;
  std::shared_ptr<vexil_sim::Accelerator> accelerator;
  std::map<uint32_t, uint32_t> cr;  // CR space; 0xF0014 holds the hardware id
  std::map<uint16_t, uint32_t> register_sizes;
  Faults faults;
  std::vector<Call> calls;
  std::string record_path;
  // Port state.
  int open_ports = 0;
  std::string ca_name;
  int port_number = 0;
  std::vector<int> classes;
  int retries = 0;
  int timeout = 0;
  uint64_t mkey = 0;
  std::string resolved;  // the address text last resolved
  int resolved_kind = -1;
  uint32_t semaphore_key = 0;
  uint8_t max_sem_addr = 1;

  Adapter();
  void reset();  // the adapter as first made, without seeds, faults or calls
  // Recorded MADs by carrier.
  unsigned smps() const { return count([](const Call& c) { return c.entry.compare(0, 4, "smp_") == 0; }); }
  unsigned class_a() const { return count([](const Call& c) { return c.entry == "mad_rpc"; }); }
  unsigned gmps() const {
    return count([](const Call& c) { return c.entry == "ib_vendor_call_via" || c.entry == "mad_rpc_rmpp"; });
  }
  template <typename Predicate>
  unsigned count(Predicate p) const {
    unsigned n = 0;
    for (const Call& c : calls) n += p(c) ? 1 : 0;
    return n;
  }
};

}  // namespace fake_ibmad

extern "C" fake_ibmad::Adapter* fake_ibmad_adapter();

namespace fake_ibmad {

// The far end of the "libibmad.so.5" this process loads (the fake, found through
// LD_LIBRARY_PATH); throws std::runtime_error when it cannot be loaded or is another library.
inline Adapter& loaded_far_end() {
  void* library = dlopen("libibmad.so.5", RTLD_NOW);
  if (!library) throw std::runtime_error(dlerror());
  auto adapter = reinterpret_cast<Adapter* (*)()>(dlsym(library, "fake_ibmad_adapter"));
  if (!adapter) throw std::runtime_error("libibmad.so.5 is not the fake");
  return *adapter();
}

}  // namespace fake_ibmad
