// Error texts: every listed code byte for byte, the holes between the ranges
// and the texts that several codes share.
#include "merror.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char* const unknown = "Unknown error code";

struct Row {
    uint32_t code;
    const char* text;
};

// Every code with a text of its own, and the text byte for byte.
const Row kTexts[] = {
    {0, "ME_OK"},
    {1, "General error"},
    {2, "ME_BAD_PARAMS"},
    {3, "ME_CR_ERROR"},
    {4, "ME_NOT_IMPLEMENTED"},
    {5, "Semaphore locked"},
    {6, "ME_MEM_ERROR"},
    {9, "ME_MAD_SEND_FAILED"},
    {10, "ME_UNKOWN_ACCESS_TYPE"},
    {11, "ME_UNSUPPORTED_DEVICE"},
    {17, "ME_UNSUPPORTED_OPERATION"},
    {18, "ME_UNSUPPORTED_ACCESS_TYPE"},
    {19, "Sending GMP MAD supports only Get() method, and you are trying to send Set() method\n"
     "to a register which is not small enough to send with SMP MAD."},
    {256, "ME_REG_ACCESS_BAD_STATUS_ERR"},
    {257, "Bad method"},
    {258, "The Register access is not supported by the device"},
    {259, "Device is busy"},
    {260, "Version not supported"},
    {261, "Unknown TLV"},
    {262, "Register not supported"},
    {263, "Class not supported"},
    {264, "Method not supported"},
    {265, "Bad parameter"},
    {266, "Resource unavailable"},
    {267, "Message receipt ack"},
    {268, "Unknown register error"},
    {269, "Register is too large"},
    {270, "Config Section Corrupted"},
    {271, "The given Register length is too small for the Tlv"},
    {272, "The configuration is rejected"},
    {273, "The erase count exceeds its limit"},
    {274, "Firmware internal error"},
    {512, "ME_ICMD_STATUS_CR_FAIL"},
    {513, "ME_ICMD_INVALID_OPCODE"},
    {514, "ME_ICMD_INVALID_CMD"},
    {515, "ME_ICMD_OPERATIONAL_ERROR"},
    {516, "ME_ICMD_BAD_PARAM"},
    {517, "ME_ICMD_BUSY"},
    {519, "ME_REG_ACCESS_ICMD_NOT_SUPPORTED"},
    {520, "ME_ICMD_STATUS_SEMAPHORE_TO"},
    {521, "ME_ICMD_STATUS_EXECUTE_TO"},
    {522, "ME_ICMD_STATUS_IFC_BUSY"},
    {523, "ME_ICMD_STATUS_ICMD_NOT_READY"},
    {524, "ME_ICMD_UNSUPPORTED_ICMD_VERSION"},
    {525, "ME_ICMD_UNKNOWN_STATUS"},
    {526, "ME_ICMD_ICM_NOT_AVAIL"},
    {527, "ME_ICMD_WRITE_PROTECT"},
    {528, "ME_ICMD_SIZE_EXCEEDS_LIMIT"},
    {768, "Tools HCR busy"},
    {769, "Tools HCR time out."},
    {771, "Operation not supported"},
    {772, "Tools HCR not supported"},
    {773, "bad system status (driver may be down or Fw does not support this operation)"},
    {774, "Unknown TLV"},
    {775, "Bad reset state"},
    {776, "Unknown status"},
    {1024, "Temporarily busy. MAD discarded. This is not an error"},
    {1025, "Redirection. This is not an error"},
    {1026, "Bad version"},
    {1027, "Method not supported"},
    {1028, "Method and attribute combination isn't supported"},
    {1029, "Bad attribute modifier or field"},
    {1030, "Unknown MAD error"},
};

// A text that is itself an identifier is the enumerator name of its code.
static_assert(ME_OK == 0, "ME_OK");
static_assert(ME_BAD_PARAMS == 2, "ME_BAD_PARAMS");
static_assert(ME_CR_ERROR == 3, "ME_CR_ERROR");
static_assert(ME_NOT_IMPLEMENTED == 4, "ME_NOT_IMPLEMENTED");
static_assert(ME_MEM_ERROR == 6, "ME_MEM_ERROR");
static_assert(ME_MAD_SEND_FAILED == 9, "ME_MAD_SEND_FAILED");
static_assert(ME_UNKOWN_ACCESS_TYPE == 10, "ME_UNKOWN_ACCESS_TYPE");
static_assert(ME_UNSUPPORTED_DEVICE == 11, "ME_UNSUPPORTED_DEVICE");
static_assert(ME_UNSUPPORTED_OPERATION == 17, "ME_UNSUPPORTED_OPERATION");
static_assert(ME_UNSUPPORTED_ACCESS_TYPE == 18, "ME_UNSUPPORTED_ACCESS_TYPE");
static_assert(ME_REG_ACCESS_BAD_STATUS_ERR == 256, "ME_REG_ACCESS_BAD_STATUS_ERR");
static_assert(ME_ICMD_STATUS_CR_FAIL == 512, "ME_ICMD_STATUS_CR_FAIL");
static_assert(ME_ICMD_INVALID_OPCODE == 513, "ME_ICMD_INVALID_OPCODE");
static_assert(ME_ICMD_INVALID_CMD == 514, "ME_ICMD_INVALID_CMD");
static_assert(ME_ICMD_OPERATIONAL_ERROR == 515, "ME_ICMD_OPERATIONAL_ERROR");
static_assert(ME_ICMD_BAD_PARAM == 516, "ME_ICMD_BAD_PARAM");
static_assert(ME_ICMD_BUSY == 517, "ME_ICMD_BUSY");
static_assert(ME_REG_ACCESS_ICMD_NOT_SUPPORTED == 519, "ME_REG_ACCESS_ICMD_NOT_SUPPORTED");
static_assert(ME_ICMD_STATUS_SEMAPHORE_TO == 520, "ME_ICMD_STATUS_SEMAPHORE_TO");
static_assert(ME_ICMD_STATUS_EXECUTE_TO == 521, "ME_ICMD_STATUS_EXECUTE_TO");
static_assert(ME_ICMD_STATUS_IFC_BUSY == 522, "ME_ICMD_STATUS_IFC_BUSY");
static_assert(ME_ICMD_STATUS_ICMD_NOT_READY == 523, "ME_ICMD_STATUS_ICMD_NOT_READY");
static_assert(ME_ICMD_UNSUPPORTED_ICMD_VERSION == 524, "ME_ICMD_UNSUPPORTED_ICMD_VERSION");
static_assert(ME_ICMD_UNKNOWN_STATUS == 525, "ME_ICMD_UNKNOWN_STATUS");
static_assert(ME_ICMD_ICM_NOT_AVAIL == 526, "ME_ICMD_ICM_NOT_AVAIL");
static_assert(ME_ICMD_WRITE_PROTECT == 527, "ME_ICMD_WRITE_PROTECT");
static_assert(ME_ICMD_SIZE_EXCEEDS_LIMIT == 528, "ME_ICMD_SIZE_EXCEEDS_LIMIT");

TEST(ErrorTexts, EveryListedCodeByteForByte)
{
    for (const Row& row : kTexts) {
        EXPECT_STREQ(m_err2str(row.code), row.text) << row.code;
    }
}

TEST(ErrorTexts, SharedTexts)
{
    EXPECT_STREQ(m_err2str(261), "Unknown TLV");
    EXPECT_STREQ(m_err2str(774), "Unknown TLV");
    EXPECT_STREQ(m_err2str(264), "Method not supported");
    EXPECT_STREQ(m_err2str(1027), "Method not supported");
    EXPECT_STREQ(m_err2str(771), "Operation not supported");
}

TEST(ErrorTexts, GmpTextSpansTwoLines)
{
    const std::string t = m_err2str(19);
    ASSERT_NE(t.find('\n'), std::string::npos);
    EXPECT_EQ(t.substr(0, t.find('\n')),
              "Sending GMP MAD supports only Get() method, and you are trying to send Set() method");
    EXPECT_EQ(t.substr(t.find('\n') + 1),
              "to a register which is not small enough to send with SMP MAD.");
}

TEST(ErrorTexts, EveryHoleIsUnknown)
{
    // Everything up to 0x1000 that the table does not list must fall back.
    for (unsigned code = 0; code < 0x1000; ++code) {
        bool known = false;
        for (const Row& row : kTexts) {
            known = known || row.code == code;
        }
        const char* t = m_err2str(code);
        ASSERT_NE(t, nullptr) << code;
        if (!known) {
            EXPECT_STREQ(t, unknown) << code;
        }
    }
    for (unsigned code : {7u, 8u, 518u, 770u, 1031u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(m_err2str(code), unknown) << code;
    }
}

}  // namespace
