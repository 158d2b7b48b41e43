/*
 * DeviceInfoParser.h - the reader of one device's description: typed
 * lookups of one key in one section. The key always comes first.
 */
#ifndef ZRV_CORE_DEVICE_INFO_PARSER_H
#define ZRV_CORE_DEVICE_INFO_PARSER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace zrv_core {

/* The kind of parser to create; JSON is the only kind. */
enum eParserType {
    eJsonParser = 0,
};

class DeviceInfoParser {
public:
    virtual ~DeviceInfoParser() = default;
    virtual std::string GetFieldValueAsString(const std::string& key, const std::string& section) const = 0;
    virtual int GetFieldValueAsInt(const std::string& key, const std::string& section) const = 0;
    virtual bool GetFieldValueAsBool(const std::string& key, const std::string& section) const = 0;
    virtual std::vector<uint32_t> GetFieldValueAsVector(const std::string& key,
                                                        const std::string& section) const = 0;
};

class DeviceInfoParserFactory {
public:
    /* A new parser of the given kind for one device, owned by the caller;
     * throws ZrvGeneralException for a kind other than JSON. */
    static DeviceInfoParser* CreateInstance(const std::string& deviceId, const std::string& jsonDir,
                                            eParserType type);
};

} // namespace zrv_core

#endif /* ZRV_CORE_DEVICE_INFO_PARSER_H */
