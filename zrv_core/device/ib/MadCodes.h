/*
 * MadCodes.h - the core's result codes that the MAD layer hands back
 * (the device access core's merror_code numbering).
 */
#ifndef ZRV_CORE_DEVICE_IB_MAD_CODES_H
#define ZRV_CORE_DEVICE_IB_MAD_CODES_H

namespace zrv_core {

enum eMadCode : int {
    oMadOk = 0,
    oMadNoAnswer = 9,                    /* the MAD was not answered */
    oMadDestinationNotLid = 11,          /* a vendor MAD needs a LID-routed destination */
    oRegAccessNotSupported = 0x102,      /* no usable MAD kind */
    oRegAccessDeviceBusy = 0x103,
    oRegAccessRegisterNotSupported = 0x106,
    oRegAccessClassNotSupported = 0x107,
    oRegAccessMethodNotSupported = 0x108,
    oRegAccessBadParameter = 0x109,
    oRegAccessUnknownError = 0x10C,
    oRegAccessSizeExceedsLimit = 0x10D,
    oMadBusy = 0x400,
    oMadRedirect = 0x401,
    oMadBadVersion = 0x402,
    oMadMethodNotSupported = 0x403,
    oMadMethodAttributeNotSupported = 0x404,
    oMadBadData = 0x405,
    oMadGeneralError = 0x406,
};

/* eAccessMethod */
enum eAccessMethod : int { oMethodGet = 1, oMethodSet = 2 };

}  // namespace zrv_core

#endif
