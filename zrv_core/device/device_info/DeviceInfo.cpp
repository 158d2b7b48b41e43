/*
 * DeviceInfo.cpp - one device type's description: the file's keys through
 * the parser, the three text maps, the id predicates and the known-id list.
 */
#include "DeviceInfo.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "DeviceInfoFields.h"
#include "parsers/DeviceInfoParser.h"

namespace zrv_core {

const std::map<std::string, eDeviceID> oDeviceMap = {
    {"tarnel3", eTarnel3},     {"tarnel3pro", eTarnel3Pro}, {"tarnel4", eTarnel4},
    {"tarnel4lx", eTarnel4LX}, {"tarnel5", eTarnel5},       {"tarnel6", eTarnel6},
    {"tarnel6dx", eTarnel6DX}, {"tarnel6lx", eTarnel6LX},   {"tarnel7", eTarnel7},
    {"tarnel8", eTarnel8},     {"tarnel9", eTarnel9},       {"osprel", eOsprel},
    {"osprel2", eOsprel2},     {"osprel3", eOsprel3},       {"osprel4", eOsprel4},
    {"sivrel", eSivrel},       {"sivrel2", eSivrel2},       {"veldra", eVeldra},
    {"veldra2", eVeldra2},     {"veldra3", eVeldra3},       {"veldra4", eVeldra4},
    {"kestor", eKestor},       {"veldra5", eVeldra5},       {"veldra6", eVeldra6},
    {"veldra6-IB", eVeldra6IB}, {"kestor2", eKestor2},      {"kestor3", eKestor3},
    {"kestor4", eKestor4},     {"pelorae", ePeloraE},       {"pelorap", ePeloraP},
    {"cordan", eCordan},       {"kd100", eKD100},           {"ks100", eKS100},
};

namespace {

const eDeviceID kKnownDevices[] = {
    eTarnel4,    eTarnel4LX, eTarnel5,      eTarnel6,    eTarnel6DX,  eTarnel6LX,
    eTarnel7,    eTarnel8,   eTarnel9,      eOsprel,     eOsprel2,    eOsprel3,
    eOsprel4,    eSivrel,    eSivrel2,      eVeldra,     eVeldra2,    eVeldra3,
    eVeldra4,    eVeldra5,   eVeldra6,      eKestor,     eKestor2,    eKestor3,
    eKestor4,    eKD100,     eKS100,        eBrellGearBox, eAbirGearBox, eBrellGearBoxManager,
    eDevice0x3,  eDevice0x6B, eDevice0x6E,  eDunvar,     eDevice0x7E, ePeloraPTestChip,
    eDevice0x11, eDevice0x19, eDevice0x70,  eDevice0x71, eDevice0x72, eDevice0x73,
    ePeloraP,    ePeloraE,   eDevice0xD,    ePeloraESddv, eCordan,
};
static_assert(sizeof(kKnownDevices) / sizeof(kKnownDevices[0]) == 47, "47 known device ids");

const std::vector<eDeviceID>& DeviceVector()
{
    static const std::vector<eDeviceID> devices(std::begin(kKnownDevices), std::end(kKnownDevices));
    return devices;
}

/* Ids whose firmware image can be dumped. */
const uint32_t kFsDumpDevices[] = {0x209, 0x20B, 0x20D, 0x20F, 0x211, 0x212, 0x214, 0x216, 0x218, 0x21C};

std::string HexId(uint32_t id)
{
    std::ostringstream text;
    text << "0x" << std::hex << id;
    return text.str();
}

/* A text the map does not hold is added with value 0 and counts as 0. */
template <typename Enum>
Enum MapText(std::map<std::string, Enum>& map, const std::string& text)
{
    return map[text];
}

} // namespace

DeviceInfo::DeviceInfo(const std::string& hwId, const std::string& jsonDir) : m_hwId(hwId)
{
    Init(jsonDir);
}

DeviceInfo::DeviceInfo(uint32_t id, const std::string& jsonDir) : m_hwId(HexId(id))
{
    Init(jsonDir);
}

DeviceInfo::~DeviceInfo() = default;

void DeviceInfo::Init(const std::string& jsonDir)
{
    InitParser(jsonDir);
    InitDeviceTypeMap();
    InitDeviceVendorMap();
    InitImageLayoutMap();
}

void DeviceInfo::InitParser(const std::string& jsonDir)
{
    m_parser.reset(DeviceInfoParserFactory::CreateInstance(m_hwId, jsonDir, eJsonParser));
}

void DeviceInfo::InitDeviceTypeMap()
{
    m_deviceTypeMap.clear();
    m_deviceTypeMap = {{"NIC", eNIC},       {"Switch", eSwitch}, {"Gearbox", eGearbox},
                       {"Cable", eCable},   {"Cablon", eCablon}, {"Retimer", eRetimer}};
}

void DeviceInfo::InitDeviceVendorMap()
{
    m_deviceVendorMap.clear();
    m_deviceVendorMap = {{"Corvelle", eCorvelle}, {"Ombrix", eOmbrix}, {"Unknown", eUnknownVendor}};
}

void DeviceInfo::InitImageLayoutMap()
{
    m_imageLayoutMap.clear();
    m_imageLayoutMap = {{"N/A", eLayoutNA}, {"fs2", eLayoutFs2}, {"fs3", eLayoutFs3}, {"fs4", eLayoutFs4}};
}

std::string DeviceInfo::GetDeviceHwIDAsString() const { return m_hwId; }

/* Base 0: "0x" hexadecimal, a leading 0 octal, else decimal. */
int DeviceInfo::GetDeviceHwIDAsInt() const { return std::stoi(m_hwId, nullptr, 0); }

std::string DeviceInfo::GetFieldAsString(const std::string& key, const std::string& section) const
{
    return m_parser->GetFieldValueAsString(key, section);
}
int DeviceInfo::GetFieldAsInt(const std::string& key, const std::string& section) const
{
    return m_parser->GetFieldValueAsInt(key, section);
}
bool DeviceInfo::GetFieldAsBool(const std::string& key, const std::string& section) const
{
    return m_parser->GetFieldValueAsBool(key, section);
}

/* ---- general_info ---- */

#define GENERAL_TEXT(name, key) \
    std::string DeviceInfo::name() const { return GetFieldAsString(key, oGeneralInfoAttribute); }
#define GENERAL_INT(name, key) \
    int DeviceInfo::name() const { return GetFieldAsInt(key, oGeneralInfoAttribute); }
#define GENERAL_BOOL(name, key) \
    bool DeviceInfo::name() const { return GetFieldAsBool(key, oGeneralInfoAttribute); }

GENERAL_TEXT(GetDeviceName, oDeviceNameField)
GENERAL_TEXT(GetDeviceShortName, oDeviceShortNameField)
GENERAL_TEXT(GetDeviceFWName, oDeviceFWNameField)
GENERAL_BOOL(IsDeviceSecured, oIsSecuredField)
GENERAL_TEXT(GetDeviceFamily, oDeviceFamilyField)
GENERAL_INT(GetDevicePortsNum, oDevicePortsNumField)
GENERAL_INT(GetDeviceGeneration, oDeviceGenField)
GENERAL_INT(GetDeviceFWMajor, oFWMajorField)
GENERAL_BOOL(SupportsIB, oIsIBSupportedField)
GENERAL_BOOL(SupportsEth, oIsEthSupportedField)
GENERAL_TEXT(GetDeviceSeries, oDeviceSeriesField)
GENERAL_INT(GetDeviceSeriesIndex, oDeviceSeriesIndexField)

eDeviceType DeviceInfo::GetDeviceType()
{
    return MapText(m_deviceTypeMap, GetFieldAsString(oDeviceTypeField, oGeneralInfoAttribute));
}

eDeviceVendor DeviceInfo::GetDeviceVendor()
{
    return MapText(m_deviceVendorMap, GetFieldAsString(oDeviceVendorField, oGeneralInfoAttribute));
}

eImageLayout DeviceInfo::GetImageLayoutFormat()
{
    return MapText(m_imageLayoutMap, GetFieldAsString(oImageLayoutField, oGeneralInfoAttribute));
}

std::vector<uint32_t> DeviceInfo::GetPCIDeviceIDList() const
{
    return m_parser->GetFieldValueAsVector(oPCIDeviceIDField, oGeneralInfoAttribute);
}

uint32_t DeviceInfo::GetPCIDeviceID() const
{
    const std::vector<uint32_t> list = GetPCIDeviceIDList();
    return list.empty() ? 0 : list.back();
}

/* ---- dump_tools_info ---- */

#define DUMP_TEXT(name, key) \
    std::string DeviceInfo::name() const { return GetFieldAsString(key, oDumpToolsInfoAttribute); }
#define DUMP_INT(name, key) \
    int DeviceInfo::name() const { return GetFieldAsInt(key, oDumpToolsInfoAttribute); }
#define DUMP_BOOL(name, key) \
    bool DeviceInfo::name() const { return GetFieldAsBool(key, oDumpToolsInfoAttribute); }

DUMP_INT(GetNumberOfClusters, oNumberOfClustersFieldName)
DUMP_BOOL(IsPcieUcSupported, oIsPcieUcSupportedFieldName)
DUMP_BOOL(IsPhyUcSupported, oIsPhyUcSupportedFieldName)
DUMP_BOOL(IsSxDumpSupported, oIsSxDumpSupportedFieldName)
DUMP_BOOL(IsRxDumpSupported, oIsRxDumpSupportedFieldName)
DUMP_INT(GetPcieUcValidClusterIndexes, oPcieUcValidClusterIndexesFieldName)
DUMP_TEXT(GetCmasContextNodeName, oCmasContextNodeFieldName)
DUMP_TEXT(GetHwSxdcValidFieldName, oHwSxdcValidFieldName)
DUMP_BOOL(IgnoreSteeringLastQpField, oIgnoreSteeringLastQpFieldName)
DUMP_TEXT(GetIcqStateNode, oIcqStateNode)
DUMP_TEXT(GetMkeyContextNode, oMkeyContextNode)
DUMP_TEXT(GetMkeyContextValid, oMkeyContextValid)
DUMP_TEXT(GetQPCommonContextNodeName, oQpCommonNode)
DUMP_TEXT(GetQPSendContextNodeName, oQpSendNode)
DUMP_TEXT(GetQPReceiveContextNodeName, oQpReceiveNode)
DUMP_TEXT(GetQPContextValid, oQpValidField)
DUMP_TEXT(GetQPContextDualWrite, oQpDualWriteField)
DUMP_TEXT(GetSRQContextNodeName, oSrqNode)
DUMP_TEXT(GetSRQContextValid, oSrqValidField)
DUMP_TEXT(GetCQContextNodeName, oCqNode)
DUMP_TEXT(GetCQContextValid, oCqValidField)
DUMP_TEXT(GetEQContextNodeName, oEqNode)
DUMP_TEXT(GetEQContextValid, oEqValidField)

/* ---- tracers_info ---- */

#define TRACERS_TEXT(name, key) \
    std::string DeviceInfo::name() const { return GetFieldAsString(key, oTracersInfoAttribute); }
#define TRACERS_INT(name, key) \
    int DeviceInfo::name() const { return GetFieldAsInt(key, oTracersInfoAttribute); }
#define TRACERS_BOOL(name, key) \
    bool DeviceInfo::name() const { return GetFieldAsBool(key, oTracersInfoAttribute); }

TRACERS_INT(GetPtrChunkSize, oPtrChunkSizeFieldName)
TRACERS_INT(GetFifoEventsInRow, oFifoEventsInRowFieldName)
TRACERS_INT(GetFifoSize, oFifoSizeFieldName)
TRACERS_INT(GetTsID, oTsIDFieldName)
TRACERS_INT(GetGEventTsOffs, oGEventTsOffsFieldName)
TRACERS_INT(GetGEventTsSize, oGEventTsSizeFieldName)
TRACERS_INT(GetGEventLostBitOffs, oGEventLostBitOffsFieldName)
TRACERS_INT(GetGEventDataOffs, oGEventDataOffsFieldName)
TRACERS_INT(GetGEventDataSize, oGEventDataSizeFieldName)
TRACERS_INT(GetGEventIdOffs, oGEventIdOffsFieldName)
TRACERS_INT(GetGEventIdSize, oGEventIdSizeFieldName)
TRACERS_INT(GetGEventUnrelBitOffs, oGEventUnrelBitOffsFieldName)
TRACERS_TEXT(GetMkeyPath, oMkeyPathFieldName)
TRACERS_BOOL(IsDynamicDBSupported, oSupportsDynamicDBFieldName)
TRACERS_BOOL(FwStrDbSignatureExists, oFwStrDbSignatureExistsFieldName)
TRACERS_INT(GetMaxMainIrisc, oMaxMainIriscFieldName)
TRACERS_INT(GetMaxAPU, oMaxAPUFieldName)
TRACERS_INT(GetMaxNumOfTiles, oMaxNumOfTilesFieldName)
TRACERS_INT(GetMaxIriscPerTile, oMaxIriscPerTileFieldName)
TRACERS_INT(GetIriscStartAddr, oIriscStartAddrFieldName)
TRACERS_INT(GetIriscStep, oIriscStepFieldName)
TRACERS_INT(GetTileStart, oTileStartFieldName)
TRACERS_INT(GetTileStep, oTileStepFieldName)
TRACERS_INT(GetApuStartAddrStep, oApuStartAddrFieldName)
TRACERS_INT(GetApuStep, oApuStepFieldName)
TRACERS_INT(GetApuMaxNumOfSteps, oApuMaxNumOfStepsFieldName)
TRACERS_BOOL(SupportPhyUc, oSupportPhyUcFieldName)
TRACERS_BOOL(IsDynamicDeviceWithoutIriscId, oIsDynamicDeviceWithoutIriscIdFieldName)
TRACERS_BOOL(SupportObrisc, oSupportObrisc)

/* ---- devmon_info ---- */

std::string DeviceInfo::GetMarketName() const { return GetFieldAsString(oMarketNameFieldName, oDevmonInfoAttribute); }
std::string DeviceInfo::GetProjectName() const { return GetFieldAsString(oProjectNameFieldName, oDevmonInfoAttribute); }
int DeviceInfo::GetDeviceRevID() const { return GetFieldAsInt(oHwRevIdFieldName, oDevmonInfoAttribute); }

/* ---- tqcr_icmd_info ---- */

#define ICMD_INT(name, key) \
    int DeviceInfo::name() const { return GetFieldAsInt(key, oTqcrIcmdInfoAttribute); }

ICMD_INT(GetCmdPtrAddress, oCmdPtrAddress)
ICMD_INT(GetCmdPtrBitlen, oCmdPtrBitlen)
ICMD_INT(GetSempaphoreAddress, oSempaphoreAddress)
ICMD_INT(GetStaticCfgNotDoneAddress, oStaticCfgNotDoneAddress)
ICMD_INT(GetStaticCfgNotDoneOffset, oStaticCfgNotDoneOffset)
ICMD_INT(GetVersionBitOffset, oVersionBitOffset)
ICMD_INT(GetIcmdVersionBitLen, oVersionBitlen)
ICMD_INT(GetVersionAddress, oVersionAddress)

/* ---- values that are not in the file ---- */

int DeviceInfo::GetDeviceModuleNum() const { return 1; }

bool DeviceInfo::IsFsDumpSupported() const
{
    const uint32_t id = static_cast<uint32_t>(GetDeviceHwIDAsInt());
    return std::find(std::begin(kFsDumpDevices), std::end(kFsDumpDevices), id) != std::end(kFsDumpDevices);
}

/* ---- type, vendor and layout ---- */

bool DeviceInfo::IsNIC() { return GetDeviceType() == eNIC; }
bool DeviceInfo::IsSwitch() { return GetDeviceType() == eSwitch; }
bool DeviceInfo::IsGearbox() { return GetDeviceType() == eGearbox; }
bool DeviceInfo::IsCable() { return GetDeviceType() == eCable; }
bool DeviceInfo::IsRetimer() { return GetDeviceType() == eRetimer; }
/* A retimer is a Cablon device too. */
bool DeviceInfo::IsCablon()
{
    const eDeviceType type = GetDeviceType();
    return type == eCablon || type == eRetimer;
}
bool DeviceInfo::IsCorvelleDevice() { return GetDeviceVendor() == eCorvelle; }
bool DeviceInfo::IsOmbrixDevice() { return GetDeviceVendor() == eOmbrix; }
bool DeviceInfo::IsFs2() { return GetImageLayoutFormat() == eLayoutFs2; }
bool DeviceInfo::IsFs3() { return GetImageLayoutFormat() == eLayoutFs3; }
bool DeviceInfo::IsFs4() { return GetImageLayoutFormat() == eLayoutFs4; }
bool DeviceInfo::IsFs5() { return GetImageLayoutFormat() == eLayoutFs5; }

/* ---- hardware-id predicates ---- */

bool DeviceInfo::HwIdIs(uint32_t id) const { return GetDeviceHwIDAsInt() == static_cast<int>(id); }

bool DeviceInfo::IsFerrow() const { return HwIdIs(eFerrow); }
bool DeviceInfo::IsTarnel3() const { return HwIdIs(eTarnel3); }
bool DeviceInfo::IsTarnel3Pro() const { return HwIdIs(eTarnel3Pro); }
bool DeviceInfo::IsTarnel4() const { return HwIdIs(eTarnel4); }
bool DeviceInfo::IsTarnel4LX() const { return HwIdIs(eTarnel4LX); }
bool DeviceInfo::IsTarnel5() const { return HwIdIs(eTarnel5); }
bool DeviceInfo::IsTarnel6() const { return HwIdIs(eTarnel6); }
bool DeviceInfo::IsTarnel6DX() const { return HwIdIs(eTarnel6DX); }
bool DeviceInfo::IsTarnel6LX() const { return HwIdIs(eTarnel6LX); }
bool DeviceInfo::IsTarnel7() const { return HwIdIs(eTarnel7); }
bool DeviceInfo::IsTarnel8() const { return HwIdIs(eTarnel8); }
bool DeviceInfo::IsTarnel9() const { return HwIdIs(eTarnel9); }
bool DeviceInfo::IsOsprel() const { return HwIdIs(eOsprel); }
bool DeviceInfo::IsOsprel2() const { return HwIdIs(eOsprel2); }
bool DeviceInfo::IsOsprel3() const { return HwIdIs(eOsprel3); }
bool DeviceInfo::IsOsprel4() const { return HwIdIs(eOsprel4); }
bool DeviceInfo::IsSivrel() const { return HwIdIs(eSivrel); }
bool DeviceInfo::IsSivrel2() const { return HwIdIs(eSivrel2); }
bool DeviceInfo::IsVeldra() const { return HwIdIs(eVeldra); }
bool DeviceInfo::IsVeldra2() const { return HwIdIs(eVeldra2); }
bool DeviceInfo::IsVeldra3() const { return HwIdIs(eVeldra3); }
bool DeviceInfo::IsVeldra4() const { return HwIdIs(eVeldra4); }
bool DeviceInfo::IsVeldra5() const { return HwIdIs(eVeldra5); }
bool DeviceInfo::IsVeldra6() const { return HwIdIs(eVeldra6); }
bool DeviceInfo::IsVeldra6IB() const { return HwIdIs(eVeldra6IB); }
bool DeviceInfo::IsKestor() const { return HwIdIs(eKestor); }
bool DeviceInfo::IsKestor2() const { return HwIdIs(eKestor2); }
bool DeviceInfo::IsKestor3() const { return HwIdIs(eKestor3); }
bool DeviceInfo::IsKestor4() const { return HwIdIs(eKestor4); }
bool DeviceInfo::IsKD100() const { return HwIdIs(eKD100); }
bool DeviceInfo::IsKS100() const { return HwIdIs(eKS100); }
bool DeviceInfo::IsPeloraESddv() const { return HwIdIs(ePeloraESddv); }
bool DeviceInfo::IsPeloraE() const { return HwIdIs(ePeloraE); }
bool DeviceInfo::IsPeloraP() const { return HwIdIs(ePeloraP); }
bool DeviceInfo::IsPeloraP_Test_Chip() const { return HwIdIs(ePeloraPTestChip); }
bool DeviceInfo::IsDunvar() const { return HwIdIs(eDunvar); }
bool DeviceInfo::IsBrellGearBox() const { return HwIdIs(eBrellGearBox); }

bool DeviceInfo::IsTn4Family() const { return IsTarnel4() || IsTarnel4LX(); }
bool DeviceInfo::Is4thGenNIC() const { return IsTarnel3() || IsTarnel3Pro(); }
bool DeviceInfo::Is5thGenNIC() { return IsNIC() && !Is4thGenNIC(); }
bool DeviceInfo::IsDunvarDevice() const { return IsDunvar() || IsPeloraE() || IsPeloraP() || IsPeloraP_Test_Chip(); }

/* ---- the known ids ---- */

std::vector<eDeviceID> DeviceInfo::GetDeviceVector() { return DeviceVector(); }

int DeviceInfo::GetNumDevices() { return static_cast<int>(DeviceVector().size()); }

std::vector<eDeviceID> DeviceInfo::GetAll5thGenNics()
{
    std::vector<eDeviceID> nics;
    for (eDeviceID id : DeviceVector()) {
        DeviceInfo device(static_cast<uint32_t>(id), oDefaultJsonDir);
        if (device.Is5thGenNIC()) nics.push_back(id);
    }
    return nics;
}

} // namespace zrv_core
