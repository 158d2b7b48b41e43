/*
 * DeviceInfoJsonParser.h - reads one device's JSON file once, at
 * construction, and answers lookups from the device's object it kept.
 *
 * The file is <directory>/<device id>.json and holds an object whose member
 * named by the device id is the device's object, with the sections
 * general_info, dump_tools_info, tracers_info, devmon_info and
 * tqcr_icmd_info. The directory word "default" means the directory that
 * /etc/zrv/zrv.conf names (zrv_prefix_location followed by device_info, then
 * /json), else device_info/json beside the executable.
 *
 * Every failure is logged at level Error and thrown as ZrvGeneralException.
 */
#ifndef ZRV_CORE_DEVICE_INFO_JSON_PARSER_H
#define ZRV_CORE_DEVICE_INFO_JSON_PARSER_H

#include <json/json.h>

#include "DeviceInfoParser.h"

namespace zrv_core {

class DeviceInfoJsonParser : public DeviceInfoParser {
public:
    DeviceInfoJsonParser(const std::string& deviceId, const std::string& jsonDir);

    std::string GetFieldValueAsString(const std::string& key, const std::string& section) const override;
    int GetFieldValueAsInt(const std::string& key, const std::string& section) const override;
    bool GetFieldValueAsBool(const std::string& key, const std::string& section) const override;
    std::vector<uint32_t> GetFieldValueAsVector(const std::string& key,
                                                const std::string& section) const override;

    /* The directory the word or path stands for. */
    static std::string GetJsonDirName(const std::string& dirArg);
    /* The device's file in this parser's directory; throws when no file is there. */
    std::string GetJsonFilePath(const std::string& deviceId) const;

private:
    void InitParser(const std::string& deviceId);
    void ParseJson(const std::string& path);
    /* The key's value; never null. Looks up without inserting anything. */
    const Json::Value& GetFieldValue(const std::string& key, const std::string& section) const;

    Json::Value m_root;
    std::string m_deviceId;
    std::string m_jsonDir;
};

} // namespace zrv_core

#endif /* ZRV_CORE_DEVICE_INFO_JSON_PARSER_H */
