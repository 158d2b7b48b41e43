/*
 * reg_access.cpp - what the register functions share beyond their frame.
 */
#include "reg_access.h"

const char* reg_access_err2str(int code)
{
    return m_err2str(static_cast<uint32_t>(code));
}
