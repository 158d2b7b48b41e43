/*
 * reg_access_hca.cpp - register functions of the adapter registers: one line
 * per register, its id and its layout record.
 */
#include "reg_access.h"
#include "reg_access_frame.h"

REG_ACCESS_FUNCTION(nic_cap_ext, REG_ID_NIC_CAP_EXT, reg_access_hca_nic_cap_ext_reg_ext)
REG_ACCESS_FUNCTION(nic_hxu_eug, REG_ID_NIC_HXU_EUG, reg_access_hca_nic_hxu_eug_reg_ext)
REG_ACCESS_FUNCTION(nic_hxu_perf_ctrl, REG_ID_NIC_HXU_PERF_CTRL, reg_access_hca_nic_hxu_perf_ctrl_reg_ext)
REG_ACCESS_FUNCTION(nic_hxu_eu_partition, REG_ID_NIC_HXU_EU_PARTITION,
                    reg_access_hca_nic_hxu_eu_partition_reg_ext)
