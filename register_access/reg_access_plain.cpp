/*
 * reg_access_plain.cpp - the register functions of the common frame, one per
 * row of REG_ACCESS_PLAIN_REGISTERS.
 */
#include "reg_access.h"
#include "reg_access_frame.h"

REG_ACCESS_PLAIN_REGISTERS(REG_ACCESS_FUNCTION)
