/*
 * reg_access_variants.cpp - the register functions that differ from the
 * common frame: image sizes taken from the record, one method only, the
 * counter unions unpacked by their selector, the string database read in
 * chunks, and the debug dumps.
 *
 * Where a length field of the record decides how much travels, the buffer is
 * the layout's full size (pack writes all of it, and maccess_reg copies the
 * register size back into it), and a length beyond the layout's data area is
 * refused before anything is sent.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "adb_to_c_utils.h"
#include "reg_access.h"
#include "reg_access_frame.h"
#include "reg_access_reply.h"

using reg_access_frame::Buffer;
using reg_access_frame::deliver;
using reg_access_frame::is_access_method;

namespace {

/* Sizes of the two directions: GET sends the head and reads all back, SET the reverse. */
struct Directions {
    uint32_t reply;
    uint32_t request;
};

Directions directions(uint32_t method, uint32_t head, uint32_t whole)
{
    return method == MACCESS_REG_METHOD_GET ? Directions{whole, head} : Directions{head, whole};
}

/* Image byte of the counter union in RICNT and PPCNT. */
constexpr uint32_t kCounterSetByte = 8;

/* MFBA: address and size ahead of the data. */
constexpr uint32_t kMfbaHeadBytes = 12;

/* MJTAG: the transaction array of the record. */
constexpr uint32_t kMjtagTransactions =
    sizeof(tools_mjtag::jtag_transaction_set) / sizeof(tools_mjtag::jtag_transaction_set[0]);

/* MTRC_STDB: read_size, 24 bits at bit 8 of the image. */
constexpr uint32_t kStdbReadSizePos = 8;
constexpr uint32_t kStdbReadSizeWidth = 24;
/* The string database travels in GETs of at most this many bytes, in whole 64-byte units. */
constexpr uint32_t kStdbChunk = 704;
constexpr uint32_t kStdbUnit = 64;

} // namespace

/* ---- counter unions ---- */

void switchen_ricnt_unpack_with_union(struct switchen_ricnt* ptr_struct, const uint8_t* ptr_buff)
{
    switchen_ricnt_unpack(ptr_struct, ptr_buff);
    const uint8_t* area = ptr_buff + kCounterSetByte;
    switchen_router_counter_sets& set = ptr_struct->counter_set;
    switch (ptr_struct->counter_handle.counter_set_type) {
    case 9:
        switchen_rif_counter_base_set_unpack(&set.minimal, area);
        break;
    case 10:
        switchen_enhanced_counter_set_unpack(&set.all_separated, area);
        break;
    case 11:
        switchen_mixed_counter_set_1_unpack(&set.mpls_separated, area);
        break;
    case 12:
        switchen_mixed_counter_set_2_unpack(&set.ipv4_separated, area);
        break;
    default:
        break;
    }
}

void switchen_ppcnt_reg_unpack_with_union(struct switchen_ppcnt_reg* ptr_struct, const uint8_t* ptr_buff)
{
    switchen_ppcnt_reg_unpack(ptr_struct, ptr_buff);
    const uint8_t* area = ptr_buff + kCounterSetByte;
    auto& set = ptr_struct->counter_set;
    switch (ptr_struct->grp) {
    case 0:
        switchen_eth_802_3_cntrs_grp_data_layout_unpack(&set.eth_802_3_cntrs_grp_data_layout, area);
        break;
    case 1:
        switchen_eth_2863_cntrs_grp_data_layout_unpack(&set.eth_2863_cntrs_grp_data_layout, area);
        break;
    case 2:
        switchen_eth_2819_cntrs_grp_data_layout_unpack(&set.eth_2819_cntrs_grp_data_layout, area);
        break;
    case 3:
        switchen_eth_3635_cntrs_grp_data_layout_unpack(&set.eth_3635_cntrs_grp_data_layout, area);
        break;
    case 5:
        switchen_eth_extended_cntrs_grp_data_layout_unpack(&set.eth_extended_cntrs_grp_data_layout, area);
        break;
    case 16:
        switchen_eth_per_prio_grp_data_layout_unpack(&set.eth_per_prio_grp_data_layout, area);
        break;
    case 17:
        switchen_eth_per_traffic_grp_data_layout_unpack(&set.eth_per_traffic_grp_data_layout, area);
        break;
    default:
        break;
    }
}

int reg_access_ricnt(mfile* mf, uint32_t method, struct switchen_ricnt* reg)
{
    return reg_access_frame::access<struct switchen_ricnt, switchen_ricnt_pack, switchen_ricnt_unpack_with_union,
                                    switchen_ricnt_size>(mf, REG_ID_ricnt, method, reg);
}

int reg_access_ppcnt(mfile* mf, uint32_t method, struct switchen_ppcnt_reg* reg)
{
    return reg_access_frame::access<struct switchen_ppcnt_reg, switchen_ppcnt_reg_pack,
                                    switchen_ppcnt_reg_unpack_with_union, switchen_ppcnt_reg_size>(
        mf, REG_ID_ppcnt, method, reg);
}

/* ---- non-volatile configuration ---- */

int reg_access_mnvdi(mfile* mf, uint32_t method, struct tools_open_mnvdi* reg)
{
    if (method != MACCESS_REG_METHOD_SET)
        return ME_REG_ACCESS_BAD_METHOD;
    /* The header and its data length travel, and come back, in full. */
    const uint32_t size = tools_open_nv_hdr_fifth_gen_size() + reg->nv_hdr.length;
    const uint32_t layout = tools_open_mnvdi_size();
    return deliver<struct tools_open_mnvdi, tools_open_mnvdi_pack, tools_open_mnvdi_unpack>(
        mf, REG_ID_mnvdi, method, reg, size > layout ? size : layout, size, size, size);
}

int reg_access_mnvda(mfile* mf, uint32_t method, struct tools_open_mnvda* reg)
{
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    const uint32_t head = tools_open_nv_hdr_fifth_gen_size();
    const uint32_t length = reg->nv_hdr.length;
    if (length > sizeof(reg->data))
        return ME_BAD_PARAMS;
    const Directions d = directions(method, head, head + length);
    return deliver<struct tools_open_mnvda, tools_open_mnvda_pack, tools_open_mnvda_unpack>(
        mf, REG_ID_mnvda, method, reg, tools_open_mnvda_size(), head + length, d.reply, d.request);
}

namespace {

/* MNVGN and MGNLE: GET only, the register status to the caller. */
template <typename Record, void (*Pack)(const Record*, uint8_t*), void (*Unpack)(Record*, const uint8_t*),
          unsigned int (*Size)(void)>
int get_with_status(mfile* mf, uint16_t register_id, uint32_t method, Record* record, int* status)
{
    if (method != MACCESS_REG_METHOD_GET)
        return ME_REG_ACCESS_BAD_METHOD;
    const uint32_t size = Size();
    Buffer image(size);
    if (image.bytes == NULL)
        return ME_MEM_ERROR;
    Pack(record, image.bytes);
    const int rc = maccess_reg(mf, register_id, MACCESS_REG_METHOD_GET, image.bytes, size, size, size, status);
    Unpack(record, image.bytes);
    return rc;
}

} // namespace

int reg_access_mnvgn(mfile* mf, uint32_t method, struct tools_open_mnvgn* reg, int* status)
{
    return get_with_status<struct tools_open_mnvgn, tools_open_mnvgn_pack, tools_open_mnvgn_unpack,
                           tools_open_mnvgn_size>(mf, REG_ID_mnvgn, method, reg, status);
}

int reg_access_mgnle(mfile* mf, uint32_t method, struct tools_open_mgnle* reg, int* status)
{
    return get_with_status<struct tools_open_mgnle, tools_open_mgnle_pack, tools_open_mgnle_unpack,
                           tools_open_mgnle_size>(mf, REG_ID_mgnle, method, reg, status);
}

/* ---- flash, JTAG, general information ---- */

int reg_access_mfba(mfile* mf, uint32_t method, struct reg_access_hca_mfba_reg_ext* reg)
{
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    const uint32_t length = reg->size;
    if (length > sizeof(reg->data))
        return ME_BAD_PARAMS;
    const Directions d = directions(method, kMfbaHeadBytes, kMfbaHeadBytes + length);
    return deliver<struct reg_access_hca_mfba_reg_ext, reg_access_hca_mfba_reg_ext_pack,
                   reg_access_hca_mfba_reg_ext_unpack>(mf, REG_ID_mfba, method, reg, reg_access_hca_mfba_reg_ext_size(),
                                                       kMfbaHeadBytes + length, d.reply, d.request);
}

int reg_access_mjtag(mfile* mf, uint32_t method, struct tools_mjtag* reg)
{
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    const uint32_t transactions = reg->size;
    if (transactions > kMjtagTransactions)
        return ME_BAD_PARAMS;
    const uint32_t size = transactions == 0 ? 8 : ((transactions + 3) & ~3u) + 4;
    return deliver<struct tools_mjtag, tools_mjtag_pack, tools_mjtag_unpack>(mf, REG_ID_mjtag, method, reg,
                                                                            tools_mjtag_size(), size, size, size);
}

int reg_access_mgir(mfile* mf, uint32_t method, struct reg_access_hca_mgir_ext* reg)
{
    if (mf == NULL)
        return ME_UNSUPPORTED_DEVICE;
    const uint32_t layout = reg_access_hca_mgir_ext_size();
    uint32_t size = layout;
    uint32_t type = 0;
    if (mget_mdevs_type(mf, &type) == 0 && type == ACCESS_SWITCH_OS) {
        const uint32_t largest = static_cast<uint32_t>(mget_max_reg_size(mf, static_cast<int>(method)));
        if (largest < size)
            size = largest;
    }
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    Buffer image(layout);
    if (image.bytes == NULL)
        return ME_MEM_ERROR;
    reg_access_hca_mgir_ext_pack(reg, image.bytes);
    int status = 0;
    const int rc = maccess_reg(mf, REG_ID_mgir, static_cast<int>(method), image.bytes, size, size, size, &status);
    /* Only `size` bytes came back; the request's tail must not read as a reply. */
    memset(image.bytes + size, 0, layout - size);
    reg_access_hca_mgir_ext_unpack(reg, image.bytes);
    return rc;
}

int reg_access_res_dump(mfile* mf, uint32_t method, struct reg_access_hca_resource_dump_ext* reg)
{
    if (getenv("DUMP_DEBUG"))
        reg_access_hca_resource_dump_ext_dump(reg, stdout);
    return reg_access_frame::access<struct reg_access_hca_resource_dump_ext, reg_access_hca_resource_dump_ext_pack,
                                    reg_access_hca_resource_dump_ext_unpack, reg_access_hca_resource_dump_ext_size>(
        mf, REG_ID_res_dump, method, reg);
}

/* ---- tracer string database ---- */

int reg_access_mtrc_stdb(mfile* mf, uint32_t method, struct reg_access_hca_mtrc_stdb_reg_ext* reg,
                         uint32_t read_length)
{
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    /* Pack moves read_size bytes of string data: they must fit the buffer. */
    if (reg->read_size > read_length)
        return ME_BAD_PARAMS;
    /* The register's size must not wrap past 32 bits. */
    if (read_length > UINT32_MAX - reg_access_hca_mtrc_stdb_reg_ext_size())
        return ME_BAD_PARAMS;
    const uint32_t size = reg_access_hca_mtrc_stdb_reg_ext_size() + read_length;
    Buffer image(size);
    if (image.bytes == NULL)
        return ME_MEM_ERROR;
    reg_access_hca_mtrc_stdb_reg_ext_pack(reg, image.bytes);
    int status = 0;
    const int rc = maccess_reg(mf, REG_ID_mtrc_stdb, static_cast<int>(method), image.bytes, size, size, size, &status);
    if (rc)
        return rc;
    reg_access_mtrc_stdb_unpack_reply(reg, image.bytes, read_length);
    return ME_OK;
}

void reg_access_mtrc_stdb_unpack_reply(struct reg_access_hca_mtrc_stdb_reg_ext* reg, uint8_t* image,
                                       uint32_t read_length)
{
    /* Unpack moves read_size bytes of the reply into string_db_data, which
     * holds read_length: a device that says more gets no more. */
    if (adb2c_pop_bits_from_buff(image, kStdbReadSizePos, kStdbReadSizeWidth) > read_length)
        adb2c_push_bits_to_buff(image, kStdbReadSizePos, kStdbReadSizeWidth, read_length);
    reg_access_hca_mtrc_stdb_reg_ext_unpack(reg, image);
}

int reg_access_mtrc_stdb_wrapper(mfile* mf, uint32_t total, uint8_t string_db_index, uint8_t* buffer)
{
    if (total % kStdbUnit != 0)
        return ME_BAD_PARAMS;
    for (uint32_t i = 0; i <= total / kStdbChunk; ++i) {
        const uint32_t length = i < total / kStdbChunk ? kStdbChunk : total % kStdbChunk;
        if (length == 0)
            break;
        struct reg_access_hca_mtrc_stdb_reg_ext reg;
        memset(&reg, 0, sizeof(reg));
        reg.read_size = length;
        reg.string_db_index = string_db_index;
        reg.start_offset = kStdbChunk * i;
        /* Zeroed: bytes the device did not send read as 0. */
        reg.string_db_data = static_cast<uint32_t*>(calloc(length, 1));
        if (reg.string_db_data == NULL) {
            fprintf(stderr, "Failed to allocate memory\n");
            return ME_MEM_ERROR;
        }
        const int rc = reg_access_mtrc_stdb(mf, MACCESS_REG_METHOD_GET, &reg, length);
        if (rc == ME_OK)
            memcpy(buffer + kStdbChunk * i, reg.string_db_data, length);
        free(reg.string_db_data);
        if (rc)
            return rc;
    }
    return ME_OK;
}

/* ---- component query ---- */

int reg_access_mcqs(mfile* mf, uint32_t method, struct reg_access_hca_mcqs_reg_ext* reg)
{
    const int rc = reg_access_mcqs_inner(mf, method, reg);
    if (getenv("MCQS_DEBUG")) {
        printf("-I- MCQS: Recieved data --");
        reg_access_hca_mcqs_reg_ext_dump(reg, stdout);
    }
    return rc;
}

int reg_access_mcqi(mfile* mf, uint32_t method, struct reg_access_hca_mcqi_reg_ext* reg)
{
    const int rc = reg_access_mcqi_inner(mf, method, reg);
    if (getenv("MCQI_DEBUG")) {
        printf("-I- MCQI: Recieved data --");
        reg_access_hca_mcqi_reg_ext_dump(reg, stdout);
    }
    return rc;
}
