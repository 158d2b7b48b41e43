/*
 * DeviceInfoFields.h - the texts of the device files: the directory word,
 * the five sections and every key. Each source file of the device database
 * that includes this header holds its own copy, built at program start.
 */
#ifndef ZRV_CORE_DEVICE_INFO_FIELDS_H
#define ZRV_CORE_DEVICE_INFO_FIELDS_H

#include <string>

namespace zrv_core {

/* The directory word that asks for the configured directory. */
static const std::string oDefaultJsonDir = "default";

/* Sections of a device's object. */
static const std::string oGeneralInfoAttribute = "general_info";
static const std::string oDumpToolsInfoAttribute = "dump_tools_info";
static const std::string oTracersInfoAttribute = "tracers_info";
static const std::string oDevmonInfoAttribute = "devmon_info";
static const std::string oTqcrIcmdInfoAttribute = "tqcr_icmd_info";

/* general_info */
static const std::string oDeviceNameField = "device_name";
static const std::string oDeviceShortNameField = "device_short_name";
static const std::string oDeviceFWNameField = "fw_name";
static const std::string oDeviceTypeField = "device_type";
static const std::string oIsSecuredField = "is_secured";
static const std::string oDeviceVendorField = "vendor";
static const std::string oDeviceFamilyField = "device_family";
static const std::string oDevicePortsNumField = "ports_num";
static const std::string oDeviceGenField = "generation";
static const std::string oPCIDeviceIDField = "pci_device_id_list";
static const std::string oImageLayoutField = "image_layout_format";
static const std::string oFWMajorField = "fw_major";
/* The two protocol keys are crossed: each constant holds the other's key. */
static const std::string oIsIBSupportedField = "supports_eth";
static const std::string oIsEthSupportedField = "supports_ib";
static const std::string oDeviceSeriesField = "series";
static const std::string oDeviceSeriesIndexField = "series_index";

/* dump_tools_info */
static const std::string oNumberOfClustersFieldName = "number_of_clusters";
static const std::string oIsPcieUcSupportedFieldName = "pcie_uc_supported";
static const std::string oIsPhyUcSupportedFieldName = "phy_uc_supported";
static const std::string oIsSxDumpSupportedFieldName = "sx_dump_supported";
static const std::string oIsRxDumpSupportedFieldName = "rx_dump_supported";
static const std::string oPcieUcValidClusterIndexesFieldName = "valid_cluster_indexes";
static const std::string oCmasContextNodeFieldName = "cmas_context_node_name";
static const std::string oHwSxdcValidFieldName = "hw_sxdc_valid_field_name";
static const std::string oIgnoreSteeringLastQpFieldName = "ignore_steering_last_qp_field";
static const std::string oIcqStateNode = "icq_state_node";
static const std::string oMkeyContextNode = "mkey_context_node";
static const std::string oMkeyContextValid = "mkey_context_valid";
static const std::string oQpCommonNode = "common_qpc_node";
static const std::string oQpSendNode = "send_qpc_node";
static const std::string oQpReceiveNode = "receive_qpc_node";
static const std::string oQpValidField = "qpc_valid_field";
static const std::string oQpDualWriteField = "qpc_dual_write_field";
static const std::string oSrqNode = "srq_node";
static const std::string oSrqValidField = "srq_valid_field";
static const std::string oCqNode = "cq_node";
static const std::string oCqValidField = "cq_valid_field";
static const std::string oEqNode = "eq_node";
static const std::string oEqValidField = "eq_valid_field";

/* tracers_info */
static const std::string oPtrChunkSizeFieldName = "ptr_chunk_size";
static const std::string oFifoEventsInRowFieldName = "fifo_events_in_row";
static const std::string oFifoSizeFieldName = "fifo_size";
static const std::string oTsIDFieldName = "ts_id";
static const std::string oGEventTsOffsFieldName = "g_event_ts_offs";
static const std::string oGEventTsSizeFieldName = "g_event_ts_size";
static const std::string oGEventLostBitOffsFieldName = "g_event_lost_bit_offs";
static const std::string oGEventDataOffsFieldName = "g_event_data_offs";
static const std::string oGEventDataSizeFieldName = "g_event_data_size";
static const std::string oGEventIdOffsFieldName = "g_event_id_offs";
static const std::string oGEventIdSizeFieldName = "g_event_id_size";
static const std::string oGEventUnrelBitOffsFieldName = "g_event_unrel_bit_offs";
static const std::string oMkeyPathFieldName = "mkey_path";
static const std::string oSupportsDynamicDBFieldName = "supports_dynamic_db";
static const std::string oFwStrDbSignatureExistsFieldName = "fw_str_db_signature_exists";
static const std::string oMaxMainIriscFieldName = "maxMainIrisc";
static const std::string oMaxAPUFieldName = "maxAPU";
static const std::string oMaxNumOfTilesFieldName = "maxNumOfTiles";
static const std::string oMaxIriscPerTileFieldName = "maxIriscPerTile";
static const std::string oIriscStartAddrFieldName = "IriscStartAddr";
static const std::string oIriscStepFieldName = "IriscStep";
static const std::string oTileStartFieldName = "TileStart";
static const std::string oTileStepFieldName = "TileStep";
static const std::string oApuStartAddrFieldName = "ApuStartAddr";
static const std::string oApuStepFieldName = "ApuStep";
static const std::string oApuMaxNumOfStepsFieldName = "ApuMaxNumOfSteps";
static const std::string oSupportPhyUcFieldName = "supportPhyUc";
static const std::string oDefaultTracerModeFieldName = "default_tracer_mode";
static const std::string oIsDynamicDeviceWithoutIriscIdFieldName = "is_dynamic_device_without_irisc_id";
static const std::string oSupportObrisc = "support_obrisc";

/* devmon_info */
static const std::string oMarketNameFieldName = "market_name";
static const std::string oProjectNameFieldName = "project_name";
static const std::string oHwRevIdFieldName = "hw_rev_id";

/* tqcr_icmd_info: the ICMD mailbox geometry in CR space. */
static const std::string oCmdPtrAddress = "cmd_ptr_address";
static const std::string oCmdPtrBitlen = "cmd_ptr_bitlen";
static const std::string oSempaphoreAddress = "semaphore_address";
static const std::string oStaticCfgNotDoneAddress = "static_cfg_not_done_address";
static const std::string oStaticCfgNotDoneOffset = "static_cfg_not_done_offset";
static const std::string oVersionBitOffset = "version_bit_offset";
static const std::string oVersionBitlen = "version_bitlen";
static const std::string oVersionAddress = "version_address";

} // namespace zrv_core

#endif /* ZRV_CORE_DEVICE_INFO_FIELDS_H */
