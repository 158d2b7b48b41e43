// Error texts: every range boundary, the holes between the ranges and the
// texts that several codes share.
#include "merror.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char* const unknown = "Unknown error code";

TEST(ErrorTexts, KnownCodesByRange)
{
    EXPECT_STREQ(m_err2str(0), "ME_OK");
    EXPECT_STREQ(m_err2str(1), "General error");
    EXPECT_STREQ(m_err2str(5), "Semaphore locked");
    EXPECT_STREQ(m_err2str(10), "ME_UNKOWN_ACCESS_TYPE");
    EXPECT_STREQ(m_err2str(18), "ME_UNSUPPORTED_ACCESS_TYPE");
    EXPECT_STREQ(m_err2str(256), "ME_REG_ACCESS_BAD_STATUS_ERR");
    EXPECT_STREQ(m_err2str(258), "The Register access is not supported by the device");
    EXPECT_STREQ(m_err2str(269), "Register is too large");
    EXPECT_STREQ(m_err2str(274), "Firmware internal error");
    EXPECT_STREQ(m_err2str(512), "ME_ICMD_STATUS_CR_FAIL");
    EXPECT_STREQ(m_err2str(519), "ME_REG_ACCESS_ICMD_NOT_SUPPORTED");
    EXPECT_STREQ(m_err2str(528), "ME_ICMD_SIZE_EXCEEDS_LIMIT");
    EXPECT_STREQ(m_err2str(768), "Tools HCR busy");
    EXPECT_STREQ(m_err2str(769), "Tools HCR time out.");
    EXPECT_STREQ(m_err2str(772), "Tools HCR not supported");
    EXPECT_STREQ(m_err2str(773),
                 "bad system status (driver may be down or Fw does not support this operation)");
    EXPECT_STREQ(m_err2str(776), "Unknown status");
    EXPECT_STREQ(m_err2str(1024), "Temporarily busy. MAD discarded. This is not an error");
    EXPECT_STREQ(m_err2str(1030), "Unknown MAD error");
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
    // The listed codes; everything else up to 0x1000 must fall back.
    const unsigned listed[] = {0,   1,   2,   3,   4,   5,   6,   9,   10,  11,  17,  18,  19,
                               256, 257, 258, 259, 260, 261, 262, 263, 264, 265, 266, 267, 268,
                               269, 270, 271, 272, 273, 274, 512, 513, 514, 515, 516, 517, 519,
                               520, 521, 522, 523, 524, 525, 526, 527, 528, 768, 769, 771, 772,
                               773, 774, 775, 776, 1024, 1025, 1026, 1027, 1028, 1029, 1030};
    for (unsigned code = 0; code < 0x1000; ++code) {
        bool known = false;
        for (unsigned l : listed) {
            known = known || l == code;
        }
        const char* t = m_err2str(code);
        ASSERT_NE(t, nullptr) << code;
        if (known) {
            EXPECT_STRNE(t, unknown) << code;
            EXPECT_GT(std::strlen(t), 0u) << code;
        } else {
            EXPECT_STREQ(t, unknown) << code;
        }
    }
    EXPECT_STREQ(m_err2str(0xFFFFFFFFu), unknown);
}

}  // namespace
