/*
 * DeviceInfo.h - the description of one device type, selected by its
 * hardware device id. What the device's JSON file says is read through a
 * DeviceInfoParser that reads the file once, at construction; the device
 * type, vendor and image-layout texts are mapped to numbers, and the id
 * predicates compare the hardware id with fixed ids without the file.
 *
 * Failures of the file or of a lookup are ZrvGeneralException (already
 * logged); a hardware-id text that is no number makes the id predicates fail
 * with std::invalid_argument or std::out_of_range.
 */
#ifndef ZRV_CORE_DEVICE_INFO_H
#define ZRV_CORE_DEVICE_INFO_H

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zrv_core {

class DeviceInfoParser;

enum eDeviceType {
    eNIC = 0,
    eSwitch = 1,
    eGearbox = 2,
    eCable = 3,
    eCablon = 4,
    eRetimer = 5,
};

enum eDeviceVendor {
    eCorvelle = 0,
    eOmbrix = 1,
    eUnknownVendor = 2,
};

enum eImageLayout {
    eLayoutNA = 0,
    eLayoutFs2 = 1,
    eLayoutFs3 = 2,
    eLayoutFs4 = 3,
    eLayoutFs5 = 4, /* no text maps to it */
};

/* Hardware device ids. */
enum eDeviceID : uint32_t {
    eTarnel3 = 0x1F5,
    eTarnel3Pro = 0x1F7,
    eFerrow = 0x1FF,
    eTarnel4 = 0x209,
    eTarnel4LX = 0x20B,
    eTarnel5 = 0x20D,
    eTarnel6 = 0x20F,
    eOsprel = 0x211,
    eTarnel6DX = 0x212,
    eOsprel2 = 0x214,
    eTarnel6LX = 0x216,
    eTarnel7 = 0x218,
    eOsprel3 = 0x21C,
    eTarnel8 = 0x21E,
    eOsprel4 = 0x220,
    eTarnel9 = 0x225,
    eSivrel = 0x247,
    eVeldra = 0x249,
    eSivrel2 = 0x24B,
    eKestor = 0x24D,
    eVeldra2 = 0x24E,
    eVeldra3 = 0x250,
    eBrellGearBox = 0x252,
    eBrellGearBoxManager = 0x253,
    eVeldra4 = 0x254,
    eAbirGearBox = 0x256,
    eKestor2 = 0x257,
    eKestor3 = 0x25B,
    eVeldra5 = 0x270,
    eVeldra6 = 0x274,
    eVeldra6IB = 0x276,
    eKestor4 = 0x278,
    ePeloraE = 0x282,
    eKD100 = 0x2900,
    eKS100 = 0x3000,
    eDevice0x3 = 0x3,
    eDevice0xD = 0xD,
    eDevice0x11 = 0x11,
    eDevice0x19 = 0x19,
    eDevice0x6B = 0x6B,
    eDevice0x6E = 0x6E,
    eDunvar = 0x6F,
    eDevice0x70 = 0x70,
    eDevice0x71 = 0x71,
    eDevice0x72 = 0x72,
    eDevice0x73 = 0x73,
    eDevice0x7E = 0x7E,
    ePeloraPTestChip = 0x7F,
    ePeloraP = 0x80,
    ePeloraESddv = 0x82,
    eCordan = 0x84,
};

/* Family name -> device id. */
extern const std::map<std::string, eDeviceID> oDeviceMap;

class DeviceInfo {
public:
    DeviceInfo(const std::string& hwId, const std::string& jsonDir);
    DeviceInfo(uint32_t id, const std::string& jsonDir);
    virtual ~DeviceInfo();
    DeviceInfo(const DeviceInfo&) = delete;
    DeviceInfo& operator=(const DeviceInfo&) = delete;

    std::string GetDeviceHwIDAsString() const;
    int GetDeviceHwIDAsInt() const;

    /* Any key of any section. */
    std::string GetFieldAsString(const std::string& key, const std::string& section) const;
    int GetFieldAsInt(const std::string& key, const std::string& section) const;
    bool GetFieldAsBool(const std::string& key, const std::string& section) const;

    /* general_info */
    std::string GetDeviceName() const;
    std::string GetDeviceShortName() const;
    std::string GetDeviceFWName() const;
    eDeviceType GetDeviceType();
    bool IsDeviceSecured() const;
    eDeviceVendor GetDeviceVendor();
    std::string GetDeviceFamily() const;
    int GetDevicePortsNum() const;
    int GetDeviceGeneration() const;
    std::vector<uint32_t> GetPCIDeviceIDList() const;
    uint32_t GetPCIDeviceID() const;
    eImageLayout GetImageLayoutFormat();
    int GetDeviceFWMajor() const;
    bool SupportsIB() const;  /* reads "supports_eth" */
    bool SupportsEth() const; /* reads "supports_ib" */
    std::string GetDeviceSeries() const;
    int GetDeviceSeriesIndex() const;

    /* dump_tools_info */
    int GetNumberOfClusters() const;
    bool IsPcieUcSupported() const;
    bool IsPhyUcSupported() const;
    bool IsSxDumpSupported() const;
    bool IsRxDumpSupported() const;
    int GetPcieUcValidClusterIndexes() const;
    std::string GetCmasContextNodeName() const;
    std::string GetHwSxdcValidFieldName() const;
    bool IgnoreSteeringLastQpField() const;
    std::string GetIcqStateNode() const;
    std::string GetMkeyContextNode() const;
    std::string GetMkeyContextValid() const;
    std::string GetQPCommonContextNodeName() const;
    std::string GetQPSendContextNodeName() const;
    std::string GetQPReceiveContextNodeName() const;
    std::string GetQPContextValid() const;
    std::string GetQPContextDualWrite() const;
    std::string GetSRQContextNodeName() const;
    std::string GetSRQContextValid() const;
    std::string GetCQContextNodeName() const;
    std::string GetCQContextValid() const;
    std::string GetEQContextNodeName() const;
    std::string GetEQContextValid() const;

    /* tracers_info */
    int GetPtrChunkSize() const;
    int GetFifoEventsInRow() const;
    int GetFifoSize() const;
    int GetTsID() const;
    int GetGEventTsOffs() const;
    int GetGEventTsSize() const;
    int GetGEventLostBitOffs() const;
    int GetGEventDataOffs() const;
    int GetGEventDataSize() const;
    int GetGEventIdOffs() const;
    int GetGEventIdSize() const;
    int GetGEventUnrelBitOffs() const;
    std::string GetMkeyPath() const;
    bool IsDynamicDBSupported() const;
    bool FwStrDbSignatureExists() const;
    int GetMaxMainIrisc() const;
    int GetMaxAPU() const;
    int GetMaxNumOfTiles() const;
    int GetMaxIriscPerTile() const;
    int GetIriscStartAddr() const;
    int GetIriscStep() const;
    int GetTileStart() const;
    int GetTileStep() const;
    int GetApuStartAddrStep() const;
    int GetApuStep() const;
    int GetApuMaxNumOfSteps() const;
    bool SupportPhyUc() const;
    bool IsDynamicDeviceWithoutIriscId() const;
    bool SupportObrisc() const;

    /* devmon_info */
    std::string GetMarketName() const;
    std::string GetProjectName() const;
    int GetDeviceRevID() const;

    /* tqcr_icmd_info */
    int GetCmdPtrAddress() const;
    int GetCmdPtrBitlen() const;
    int GetSempaphoreAddress() const;
    int GetStaticCfgNotDoneAddress() const;
    int GetStaticCfgNotDoneOffset() const;
    int GetVersionBitOffset() const;
    int GetIcmdVersionBitLen() const;
    int GetVersionAddress() const;

    /* Not from the file. */
    int GetDeviceModuleNum() const;
    bool IsFsDumpSupported() const;

    /* Device type, vendor and image layout, mapped from the file's texts. */
    bool IsNIC();
    bool IsSwitch();
    bool IsGearbox();
    bool IsCable();
    bool IsRetimer();
    bool IsCablon();
    bool IsCorvelleDevice();
    bool IsOmbrixDevice();
    bool IsFs2();
    bool IsFs3();
    bool IsFs4();
    bool IsFs5();

    /* Hardware-id predicates. */
    bool IsFerrow() const;
    bool IsTarnel3() const;
    bool IsTarnel3Pro() const;
    bool IsTarnel4() const;
    bool IsTarnel4LX() const;
    bool IsTarnel5() const;
    bool IsTarnel6() const;
    bool IsTarnel6DX() const;
    bool IsTarnel6LX() const;
    bool IsTarnel7() const;
    bool IsTarnel8() const;
    bool IsTarnel9() const;
    bool IsOsprel() const;
    bool IsOsprel2() const;
    bool IsOsprel3() const;
    bool IsOsprel4() const;
    bool IsSivrel() const;
    bool IsSivrel2() const;
    bool IsVeldra() const;
    bool IsVeldra2() const;
    bool IsVeldra3() const;
    bool IsVeldra4() const;
    bool IsVeldra5() const;
    bool IsVeldra6() const;
    bool IsVeldra6IB() const;
    bool IsKestor() const;
    bool IsKestor2() const;
    bool IsKestor3() const;
    bool IsKestor4() const;
    bool IsKD100() const;
    bool IsKS100() const;
    bool IsPeloraESddv() const;
    bool IsPeloraE() const;
    bool IsPeloraP() const;
    bool IsPeloraP_Test_Chip() const;
    bool IsDunvar() const;
    bool IsBrellGearBox() const;

    bool IsTn4Family() const;
    bool Is4thGenNIC() const;
    bool Is5thGenNIC();
    bool IsDunvarDevice() const;

    /* The 47 known device ids, in the order of every listing. */
    static std::vector<eDeviceID> GetDeviceVector();
    static int GetNumDevices();
    /* The known ids that are 5th-generation NICs; the first id whose file
     * fails ends it with that failure. */
    static std::vector<eDeviceID> GetAll5thGenNics();

private:
    void Init(const std::string& jsonDir);
    void InitParser(const std::string& jsonDir);
    void InitDeviceTypeMap();
    void InitDeviceVendorMap();
    void InitImageLayoutMap();
    bool HwIdIs(uint32_t id) const;

    std::unique_ptr<DeviceInfoParser> m_parser;
    std::map<std::string, eDeviceType> m_deviceTypeMap;
    std::map<std::string, eDeviceVendor> m_deviceVendorMap;
    std::map<std::string, eImageLayout> m_imageLayoutMap;
    std::string m_hwId;
};

} // namespace zrv_core

#endif /* ZRV_CORE_DEVICE_INFO_H */
