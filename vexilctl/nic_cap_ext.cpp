/*
 * nic_cap_ext.cpp - the adapter's accelerator limits: read once per run from
 * the NIC_CAP_EXT register into the globals every later check uses.
 */
#include <stdio.h>
#include <string.h>

#include "eu_records.h"
#include "utility_functions.h"

namespace {
/* cap_group of the accelerator's capabilities. */
const uint16_t hxu_capability_group = 1;
} // namespace

int extract_nic_cap_ext_reg(const char* device, int report_type)
{
    device_session session;
    if (!session.open(device))
        return -1;
    struct reg_access_hca_nic_cap_ext_reg_ext capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.cap_group = hxu_capability_group;
    if (reg_access_nic_cap_ext(session.handle(), MACCESS_REG_METHOD_GET, &capabilities) != ME_OK) {
        puts("Failed to access NIC capability extension register.");
        return -1;
    }
    session.close();
    const struct reg_access_hca_nic_cap_ext_hxu_cap_ext& hxu = capabilities.cap_data.nic_cap_ext_hxu_cap_ext;
    max_num_hxu_eu_group = hxu.max_num_hxu_eug;
    max_num_hxu_eu_per_group = hxu.max_num_hxu_eu_per_group;
    max_num_hxu_eu = hxu.max_num_hxu_eu;
    max_num_hxu_eu_partition = hxu.max_num_hxu_eu_partition;
    max_num_partition_vhca_id = hxu.max_num_partition_vhca_id;
    print_nic_cap_ext_reg(report_type);
    return 0;
}
