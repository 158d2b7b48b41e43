/*
 * reg_access_table.h - every register function with its register id and its
 * layout record, as plain X-macro lists (no includes, no code):
 *
 *   REG_ACCESS_PLAIN_REGISTERS(X)    the functions made by the common frame
 *                                    (reg_access_frame.h), one
 *                                    X(name, register_id, layout) each:
 *                                    reg_access_<name> carries struct <layout>
 *                                    as register <register_id>;
 *   REG_ACCESS_VARIANT_REGISTERS(X)  the same for the functions written out in
 *                                    reg_access_variants.cpp (their own sizes,
 *                                    methods or unpacking);
 *   REG_ACCESS_SHARED_IDS(X)         X(name, other) for every function whose
 *                                    register id is also the id of <other>;
 *                                    every other id belongs to one function.
 *
 * The functions, their declarations and the REG_ID_<name> constants are all
 * expanded from these lists, and the tests walk them; a row here is all it
 * takes to add a register that needs nothing beyond the frame.
 */
#ifndef VEXIL_REG_ACCESS_TABLE_H
#define VEXIL_REG_ACCESS_TABLE_H

#define REG_ACCESS_PLAIN_REGISTERS(X)                                        \
    X(mddt, 0x9160, reg_access_switch_mddt_reg_ext)                          \
    X(mddq, 0x9161, reg_access_switch_mddq_ext)                              \
    X(ritr, 0x8002, switchen_ritr)                                           \
    X(pcnr, 0x5050, reg_access_hca_pcnr_reg_ext)                             \
    X(sbpr, 0xB001, switchen_sbpr)                                           \
    X(sbmm, 0xB004, switchen_sbmm)                                           \
    X(sbcm, 0xB002, switchen_sbcm)                                           \
    X(sbpm, 0xB003, switchen_sbpm)                                           \
    X(plib, 0x500A, reg_access_switch_plib_reg_ext)                          \
    X(mteim, 0x9118, reg_access_hca_mteim_reg_ext)                           \
    X(mtie, 0x911B, reg_access_hca_mtie_ext)                                 \
    X(mtim, 0x911C, reg_access_hca_mtim_ext)                                 \
    X(mtdc, 0x911D, reg_access_hca_mtdc_ext)                                 \
    X(debug_cap, 0x8400, reg_access_hca_debug_cap)                           \
    X(paos, 0x5006, reg_access_hca_paos_reg_ext)                             \
    X(pmaos, 0x5012, reg_access_switch_pmaos_reg_ext)                        \
    X(ptys, 0x5004, reg_access_hca_ptys_reg_ext)                             \
    X(mcia, 0x9014, reg_access_hca_mcia_ext)                                 \
    X(mtmp, 0x900A, reg_access_hca_mtmp_ext)                                 \
    X(mtcap, 0x9009, reg_access_hca_mtcap_ext)                               \
    X(mtecr_ext, 0x9109, reg_access_retimer_mtecr_ext)                       \
    X(pmlp, 0x5002, reg_access_hca_pmlp_reg_ext)                             \
    X(mnvgc, 0x9034, reg_access_hca_mnvgc_reg_ext)                           \
    X(mnvia, 0x9033, reg_access_hca_mnvia_reg_ext)                           \
    X(mnvqc, 0x9030, reg_access_hca_mnvqc_reg_ext)                           \
    X(mmdio, 0x9017, reg_access_hca_mmdio_ext)                               \
    X(icam, 0x387F, reg_access_switch_icam_reg_ext)                          \
    X(icsr, 0x38F0, reg_access_switch_icsr_ext)                              \
    X(mord, 0x9153, reg_access_hca_resource_dump_ext)                        \
    X(mgpir, 0x9100, tools_mgpir)                                            \
    X(mdfcr, 0x9101, tools_mdfcr)                                            \
    X(mdrcr, 0x9102, tools_mdrcr)                                            \
    X(mirc, 0x9162, tools_open_mirc_reg)                                     \
    X(mcam, 0x907F, reg_access_hca_mcam_reg_ext)                             \
    X(mcda, 0x9063, reg_access_hca_mcda_reg_ext)                             \
    X(mqis, 0x9064, reg_access_hca_mqis_reg_ext)                             \
    X(mtrc_cap, 0x9040, reg_access_hca_mtrc_cap_reg_ext)                     \
    X(mtrc_conf, 0x9041, reg_access_hca_mtrc_conf_reg_ext)                   \
    X(mtrc_ctrl, 0x9043, reg_access_hca_mtrc_ctrl_reg_ext)                   \
    X(mcc, 0x9062, reg_access_hca_mcc_reg_ext)                               \
    X(mcqs_inner, 0x9060, reg_access_hca_mcqs_reg_ext)                       \
    X(mcqi_inner, 0x9061, reg_access_hca_mcqi_reg_ext)                       \
    X(mfbe, 0x9012, reg_access_hca_mfbe_reg_ext)                             \
    X(mfpa, 0x9010, reg_access_hca_mfpa_reg_ext)                             \
    X(mfsv, 0x9115, reg_access_hca_mfsv_reg_ext)                             \
    X(mfrl, 0x9028, reg_access_hca_mfrl_reg_ext)                             \
    X(mpcir, 0x905A, reg_access_hca_mpcir_ext)                               \
    X(mfai, 0x9029, frwfw_register_mfai)                                     \
    X(mvts, 0x902C, tools_open_mvts)                                         \
    X(mfmc, 0x9013, reg_access_switch_mfmc_reg_ext)                          \
    X(mcdd, 0x905C, tools_open_mcdd_reg)                                     \
    X(mfpa_new, 0x9010, reg_access_hca_mfpa_reg_ext)                         \
    X(secure_host, 0x402D, tools_open_mlock)                                 \
    X(mtcq, 0x9065, reg_access_switch_mtcq_reg_ext)                          \
    X(mdsr, 0x9110, reg_access_switch_mdsr_reg_ext)                          \
    X(mkdc, 0x9066, reg_access_switch_mkdc_reg_ext)                          \
    X(nic_cap_ext, 0xC011, reg_access_hca_nic_cap_ext_reg_ext)               \
    X(nic_hxu_eug, 0xC012, reg_access_hca_nic_hxu_eug_reg_ext)               \
    X(nic_hxu_perf_ctrl, 0xC014, reg_access_hca_nic_hxu_perf_ctrl_reg_ext)   \
    X(nic_hxu_eu_partition, 0xC015, reg_access_hca_nic_hxu_eu_partition_reg_ext) \
    X(mrsr, 0x9023, reg_access_switch_mrsr_ext)                              \
    X(dtor, 0xC00E, reg_access_hca_dtor_reg_ext)                             \
    X(mrsi, 0x912A, reg_access_hca_mrsi_ext)                                 \
    X(msgi, 0x9021, switchen_msgi)                                           \
    X(pllp, 0x504A, reg_access_switch_pllp_reg_ext)                          \
    X(ppcr, 0x504C, reg_access_switch_PPCR_ext)                              \
    X(switch_pmlp, 0x5002, reg_access_switch_pmlp_reg_ext)                   \
    X(pguid, 0x5066, reg_access_hca_pguid_reg_ext)                           \
    X(switch_pguid, 0x5066, reg_access_switch_pguid_reg_ext)                 \
    X(mroq, 0x902F, reg_access_hca_mroq_ext)                                 \
    X(misoc, 0x9026, reg_access_hca_misoc_reg_ext)

#define REG_ACCESS_VARIANT_REGISTERS(X)                                      \
    X(ricnt, 0x800B, switchen_ricnt)                                         \
    X(ppcnt, 0x5008, switchen_ppcnt_reg)                                     \
    X(mnvdi, 0x9025, tools_open_mnvdi)                                       \
    X(mnvgn, 0x9035, tools_open_mnvgn)                                       \
    X(mgnle, 0x9036, tools_open_mgnle)                                       \
    X(mjtag, 0x901F, tools_mjtag)                                            \
    X(res_dump, 0xC000, reg_access_hca_resource_dump_ext)                    \
    X(mnvda, 0x9024, tools_open_mnvda)                                       \
    X(mgir, 0x9020, reg_access_hca_mgir_ext)                                 \
    X(mfba, 0x9011, reg_access_hca_mfba_reg_ext)                             \
    X(mtrc_stdb, 0x9042, reg_access_hca_mtrc_stdb_reg_ext)

/* mfpa_new is mfpa again; pmlp and pguid exist in an adapter and a switch layout. */
#define REG_ACCESS_SHARED_IDS(X) \
    X(mfpa_new, mfpa)            \
    X(switch_pmlp, pmlp)         \
    X(switch_pguid, pguid)

#endif /* VEXIL_REG_ACCESS_TABLE_H */
