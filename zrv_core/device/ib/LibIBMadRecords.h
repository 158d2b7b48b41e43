/*
 * LibIBMadRecords.h - the few records and entry points of libibmad that the
 * device layer uses, declared here as the library lays them out (x86-64 and
 * every other LP64 target): the library is opened at run time and none of
 * its headers is needed. The sizes and offsets are checked below.
 */
#ifndef ZRV_CORE_DEVICE_IB_LIB_IB_MAD_RECORDS_H
#define ZRV_CORE_DEVICE_IB_LIB_IB_MAD_RECORDS_H

#include <stddef.h>
#include <stdint.h>

namespace zrv_core {
namespace ibmad {

constexpr int oSubnetPathHopsMax = 64;
constexpr int oSmpDataSize = 64;            /* data area of an SMP */
constexpr int oVendorRange1DataOffset = 24; /* classes 0x09-0x0F */
constexpr int oVendorRange1DataSize = 232;
constexpr int oVendorRange2DataOffset = 40; /* classes 0x30-0x4F */
constexpr int oVendorRange2DataSize = 216;
constexpr int oRpcVersion1 = 1 << 8;        /* the RPC record carries `error` */

/* Destination kinds of ib_resolve_portid_str_via. */
enum eMadDest : int { oDestLid = 0, oDestDrPath = 1 };

struct sDrPath {
    int cnt;
    uint8_t p[oSubnetPathHopsMax];
    uint16_t drslid;
    uint16_t drdlid;
};

/* ib_portid_t */
struct sPortId {
    int lid; /* 0: directed route */
    sDrPath drpath;
    int grh_present;
    uint8_t gid[16];
    uint32_t qp;
    uint32_t qkey;
    uint8_t sl;
    unsigned pkey_idx;
};

struct sAttr {
    unsigned id;
    unsigned mod;
};

/* ib_rpc_v1_t: an RPC whose class has oRpcVersion1 set. */
struct sRpcV1 {
    int mgtclass;
    int method;
    sAttr attr;
    uint32_t rstatus; /* the MAD status of the answer */
    int dataoffs;
    int datasz;
    uint64_t mkey;
    uint64_t trid;
    uint64_t mask;
    unsigned recsz;
    int timeout;
    uint32_t oui;
    int error; /* errno of the transaction */
};

/* ib_rmpp_hdr_t */
struct sRmppHeader {
    int type;
    int flags;
    int status;
    uint32_t d1;
    uint32_t d2;
};

/* ib_vendor_call_t */
struct sVendorCall {
    unsigned method;
    unsigned mgmt_class;
    unsigned attrid;
    unsigned mod;
    uint32_t oui;
    unsigned timeout;
    sRmppHeader rmpp;
};

struct sPort; /* struct ibmad_port, opaque */

using fMadRpcOpenPort = sPort* (*)(char* dev_name, int dev_port, int* mgmt_classes,
                                   int num_classes);
using fMadRpcClosePort = void (*)(sPort* port);
using fMadRpcSetRetries = void (*)(sPort* port, int retries);
using fMadRpcSetTimeout = void (*)(sPort* port, int timeout);
using fMadRpc = void* (*)(const sPort* port, sRpcV1* rpc, sPortId* dport, void* payload,
                          void* rcvdata);
using fSmpQueryVia = uint8_t* (*)(void* buf, sPortId* id, unsigned attrid, unsigned mod,
                                  unsigned timeout, const sPort* port);
using fIbResolvePortIdStrVia = int (*)(sPortId* portid, char* addr_str, int dest,
                                       sPortId* sm_id, const sPort* port);
using fIbVendorCallVia = uint8_t* (*)(void* data, sPortId* portid, sVendorCall* call,
                                      sPort* port);
using fSmpQueryStatusVia = uint8_t* (*)(void* buf, sPortId* id, unsigned attrid, unsigned mod,
                                        unsigned timeout, int* rstatus, const sPort* port);
using fSmpSetVia = uint8_t* (*)(void* buf, sPortId* id, unsigned attrid, unsigned mod,
                                unsigned timeout, const sPort* port);
using fSmpSetStatusVia = uint8_t* (*)(void* buf, sPortId* id, unsigned attrid, unsigned mod,
                                      unsigned timeout, int* rstatus, const sPort* port);
using fMadRpcRmpp = void* (*)(const sPort* port, sRpcV1* rpc, sPortId* dport, sRmppHeader* rmpp,
                              void* data);
using fSmpMkeySet = void (*)(sPort* port, uint64_t mkey);

static_assert(sizeof(sDrPath) == 72 && offsetof(sDrPath, drslid) == 68, "ib_dr_path_t");
static_assert(sizeof(sPortId) == 112 && offsetof(sPortId, drpath) == 4 &&
                  offsetof(sPortId, grh_present) == 76 && offsetof(sPortId, gid) == 80 &&
                  offsetof(sPortId, qp) == 96 && offsetof(sPortId, qkey) == 100 &&
                  offsetof(sPortId, sl) == 104 && offsetof(sPortId, pkey_idx) == 108,
              "ib_portid_t");
static_assert(sizeof(sRpcV1) == 72 && offsetof(sRpcV1, attr) == 8 &&
                  offsetof(sRpcV1, rstatus) == 16 && offsetof(sRpcV1, dataoffs) == 20 &&
                  offsetof(sRpcV1, datasz) == 24 && offsetof(sRpcV1, mkey) == 32 &&
                  offsetof(sRpcV1, trid) == 40 && offsetof(sRpcV1, timeout) == 60 &&
                  offsetof(sRpcV1, oui) == 64 && offsetof(sRpcV1, error) == 68,
              "ib_rpc_v1_t");
static_assert(sizeof(sRmppHeader) == 20 && offsetof(sRmppHeader, type) == 0 &&
                  offsetof(sRmppHeader, flags) == 4 && offsetof(sRmppHeader, status) == 8,
              "ib_rmpp_hdr_t");
static_assert(sizeof(sVendorCall) == 44 && offsetof(sVendorCall, oui) == 16 &&
                  offsetof(sVendorCall, timeout) == 20 && offsetof(sVendorCall, rmpp) == 24,
              "ib_vendor_call_t");

}  // namespace ibmad
}  // namespace zrv_core

#endif
