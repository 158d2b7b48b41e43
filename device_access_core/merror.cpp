/*
 * merror.cpp - the one table that turns an merror_code into its text.
 */
#include "merror.h"

#include <stddef.h>

namespace {

struct err_text {
    uint32_t code;
    const char* text;
};

/* Sorted by code; every code absent here reads "Unknown error code". */
const err_text err_table[] = {
    {ME_OK, "ME_OK"},
    {ME_ERROR, "General error"},
    {ME_BAD_PARAMS, "ME_BAD_PARAMS"},
    {ME_CR_ERROR, "ME_CR_ERROR"},
    {ME_NOT_IMPLEMENTED, "ME_NOT_IMPLEMENTED"},
    {ME_SEM_LOCKED, "Semaphore locked"},
    {ME_MEM_ERROR, "ME_MEM_ERROR"},
    {ME_MAD_SEND_FAILED, "ME_MAD_SEND_FAILED"},
    {ME_UNKOWN_ACCESS_TYPE, "ME_UNKOWN_ACCESS_TYPE"},
    {ME_UNSUPPORTED_DEVICE, "ME_UNSUPPORTED_DEVICE"},
    {ME_UNSUPPORTED_OPERATION, "ME_UNSUPPORTED_OPERATION"},
    {ME_UNSUPPORTED_ACCESS_TYPE, "ME_UNSUPPORTED_ACCESS_TYPE"},
    {ME_GMP_MAD_UNSUPPORTED_OPERATION,
     "Sending GMP MAD supports only Get() method, and you are trying to send Set() method\n"
     "to a register which is not small enough to send with SMP MAD."},

    {ME_REG_ACCESS_BAD_STATUS_ERR, "ME_REG_ACCESS_BAD_STATUS_ERR"},
    {ME_REG_ACCESS_BAD_METHOD, "Bad method"},
    {ME_REG_ACCESS_NOT_SUPPORTED, "The Register access is not supported by the device"},
    {ME_REG_ACCESS_DEV_BUSY, "Device is busy"},
    {ME_REG_ACCESS_VER_NOT_SUPP, "Version not supported"},
    {ME_REG_ACCESS_UNKNOWN_TLV, "Unknown TLV"},
    {ME_REG_ACCESS_REG_NOT_SUPP, "Register not supported"},
    {ME_REG_ACCESS_CLASS_NOT_SUPP, "Class not supported"},
    {ME_REG_ACCESS_METHOD_NOT_SUPP, "Method not supported"},
    {ME_REG_ACCESS_BAD_PARAM, "Bad parameter"},
    {ME_REG_ACCESS_RES_NOT_AVLBL, "Resource unavailable"},
    {ME_REG_ACCESS_MSG_RECPT_ACK, "Message receipt ack"},
    {ME_REG_ACCESS_UNKNOWN_ERR, "Unknown register error"},
    {ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT, "Register is too large"},
    {ME_REG_ACCESS_CONF_CORRUPT, "Config Section Corrupted"},
    {ME_REG_ACCESS_LEN_TOO_SMALL, "The given Register length is too small for the Tlv"},
    {ME_REG_ACCESS_BAD_CONFIG, "The configuration is rejected"},
    {ME_REG_ACCESS_ERASE_EXCEEDED, "The erase count exceeds its limit"},
    {ME_REG_ACCESS_INTERNAL_ERROR, "Firmware internal error"},

    {ME_ICMD_STATUS_CR_FAIL, "ME_ICMD_STATUS_CR_FAIL"},
    {ME_ICMD_INVALID_OPCODE, "ME_ICMD_INVALID_OPCODE"},
    {ME_ICMD_INVALID_CMD, "ME_ICMD_INVALID_CMD"},
    {ME_ICMD_OPERATIONAL_ERROR, "ME_ICMD_OPERATIONAL_ERROR"},
    {ME_ICMD_BAD_PARAM, "ME_ICMD_BAD_PARAM"},
    {ME_ICMD_BUSY, "ME_ICMD_BUSY"},
    {ME_REG_ACCESS_ICMD_NOT_SUPPORTED, "ME_REG_ACCESS_ICMD_NOT_SUPPORTED"},
    {ME_ICMD_STATUS_SEMAPHORE_TO, "ME_ICMD_STATUS_SEMAPHORE_TO"},
    {ME_ICMD_STATUS_EXECUTE_TO, "ME_ICMD_STATUS_EXECUTE_TO"},
    {ME_ICMD_STATUS_IFC_BUSY, "ME_ICMD_STATUS_IFC_BUSY"},
    {ME_ICMD_STATUS_ICMD_NOT_READY, "ME_ICMD_STATUS_ICMD_NOT_READY"},
    {ME_ICMD_UNSUPPORTED_ICMD_VERSION, "ME_ICMD_UNSUPPORTED_ICMD_VERSION"},
    {ME_ICMD_UNKNOWN_STATUS, "ME_ICMD_UNKNOWN_STATUS"},
    {ME_ICMD_ICM_NOT_AVAIL, "ME_ICMD_ICM_NOT_AVAIL"},
    {ME_ICMD_WRITE_PROTECT, "ME_ICMD_WRITE_PROTECT"},
    {ME_ICMD_SIZE_EXCEEDS_LIMIT, "ME_ICMD_SIZE_EXCEEDS_LIMIT"},

    {ME_CMDIF_BUSY, "Tools HCR busy"},
    {ME_CMDIF_TOUT, "Tools HCR time out."},
    {ME_CMDIF_BAD_OP, "Operation not supported"},
    {ME_CMDIF_NOT_SUPP, "Tools HCR not supported"},
    {ME_CMDIF_BAD_SYS, "bad system status (driver may be down or Fw does not support this operation)"},
    {ME_CMDIF_UNKN_TLV, "Unknown TLV"},
    {ME_CMDIF_RES_STATE, "Bad reset state"},
    {ME_CMDIF_UNKN_STATUS, "Unknown status"},

    {ME_MAD_BUSY, "Temporarily busy. MAD discarded. This is not an error"},
    {ME_MAD_REDIRECT, "Redirection. This is not an error"},
    {ME_MAD_BAD_VER, "Bad version"},
    {ME_MAD_METHOD_NOT_SUPP, "Method not supported"},
    {ME_MAD_METHOD_ATTR_COMB_NOT_SUPP, "Method and attribute combination isn't supported"},
    {ME_MAD_BAD_DATA, "Bad attribute modifier or field"},
    {ME_MAD_GENERAL_ERR, "Unknown MAD error"},
};

}  // namespace

const char* m_err2str(uint32_t code)
{
    for (const err_text& e : err_table) {
        if (e.code == code) {
            return e.text;
        }
    }
    return "Unknown error code";
}
