/*
 * DeviceInfoParserFactory.cpp - the one place that picks a parser kind.
 */
#include "DeviceInfoJsonParser.h"
#include "DeviceInfoLog.h"

namespace zrv_core {

DeviceInfoParser* DeviceInfoParserFactory::CreateInstance(const std::string& deviceId, const std::string& jsonDir,
                                                          eParserType type)
{
    if (type != eJsonParser)
        device_info_log::Fail("zrv_core/device/device_info/parsers/DeviceInfoParserFactory", "CreateInstance", 28,
                              "Unknown DeviceInfoParser object");
    return new DeviceInfoJsonParser(deviceId, jsonDir);
}

} // namespace zrv_core
