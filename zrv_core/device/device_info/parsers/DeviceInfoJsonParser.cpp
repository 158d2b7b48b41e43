/*
 * DeviceInfoJsonParser.cpp - finding, reading and querying one device's
 * JSON file.
 */
#include "DeviceInfoJsonParser.h"

#include <ctype.h>

#include <fstream>
#include <memory>

#include "DeviceInfoFields.h"
#include "DeviceInfoLog.h"
#include "common/OperatingSystemAPI.h"
#include "zrv_core_utils/zrv_config_parser/ZrvConfigParser.h"

namespace zrv_core {

namespace {

const char* const kSource = "zrv_core/device/device_info/parsers/DeviceInfoJsonParser";
const char* const kConfigFile = "/etc/zrv/zrv.conf";
const char kConfigDelimiter = '=';
const char* const kPrefixKey = "zrv_prefix_location";
const char* const kDatabaseKey = "device_info";
const char* const kDatabaseDir = "device_info";
const char* const kJsonDir = "json";
const char* const kProgramFiles = "Program Files";

/* A member of an object, or null; a value that is no object has none.
 * Looks up only: nothing is inserted. */
const Json::Value* Member(const Json::Value& value, const std::string& name)
{
    if (!value.isObject()) return nullptr;
    const Json::Value* member = value.find(name.data(), name.data() + name.size());
    return member && !member->isNull() ? member : nullptr;
}

std::string NotAvailable(const std::string& key)
{
    return "-E- the following field is not available in device_info JSON: \"" + key + "\"";
}

} // namespace

DeviceInfoJsonParser::DeviceInfoJsonParser(const std::string& deviceId, const std::string& jsonDir)
    : m_root(Json::nullValue), m_deviceId(deviceId), m_jsonDir(GetJsonDirName(jsonDir))
{
    InitParser(deviceId);
}

void DeviceInfoJsonParser::InitParser(const std::string& deviceId)
{
    ParseJson(GetJsonFilePath(deviceId));
}

std::string DeviceInfoJsonParser::GetJsonDirName(const std::string& dirArg)
{
    if (dirArg != oDefaultJsonDir) return dirArg;
    try {
        ZrvConfigParser config(kConfigFile, kConfigDelimiter);
        const std::string prefix = config.GetFieldValue(kPrefixKey);
        return prefix + config.GetFieldValue(kDatabaseKey) + "/" + kJsonDir;
    } catch (...) {
        /* No configuration (the reader has logged why): beside the executable. */
    }
    std::unique_ptr<OperatingSystemAPI> os(FactoryOperatingSystemAPI::GetInstance());
    return os->GetExecutableDir() + "/" + kDatabaseDir + "/" + kJsonDir;
}

std::string DeviceInfoJsonParser::GetJsonFilePath(const std::string& deviceId) const
{
    std::unique_ptr<OperatingSystemAPI> os(FactoryOperatingSystemAPI::GetInstance());
    std::string path = os->GetFilePath(m_jsonDir, deviceId + ".json");
    const std::string::size_type at = path.find(kProgramFiles);
    if (at != std::string::npos) {
        const std::string::size_type tail = at + std::string(kProgramFiles).size();
        std::string squeezed = path.substr(0, tail);
        for (std::string::size_type i = tail; i < path.size(); ++i)
            if (!isspace(static_cast<unsigned char>(path[i]))) squeezed += path[i];
        path = squeezed;
    }
    if (!os->FileExists(path))
        device_info_log::Fail(kSource, "GetJsonFilePath", 97, "-E- device info JSON not found at: " + path);
    return path;
}

void DeviceInfoJsonParser::ParseJson(const std::string& path)
{
    /* The stream closes itself on every way out. */
    std::ifstream file(path);
    if (!file.is_open())
        device_info_log::Fail(kSource, "ParseJson", 110, "-E- unable to open file: " + path);

    Json::Value document;
    Json::Reader reader;
    bool parsed = false;
    std::string errors;
    try {
        parsed = reader.parse(file, document, true);
        if (!parsed) errors = reader.getFormattedErrorMessages();
    } catch (const Json::Exception& e) {
        /* The reader gives up on nesting too deep for it by throwing. */
        errors = e.what();
    }
    if (!parsed) device_info_log::Fail(kSource, "ParseJson", 115, errors);

    const Json::Value* device = Member(document, m_deviceId);
    if (!device) device_info_log::Fail(kSource, "ParseJson", 121, "-E- Unsupported Device ID " + m_deviceId);
    m_root = *device;
}

const Json::Value& DeviceInfoJsonParser::GetFieldValue(const std::string& key, const std::string& section) const
{
    const Json::Value* sectionValue = Member(m_root, section);
    const Json::Value* value = sectionValue ? Member(*sectionValue, key) : nullptr;
    if (!value) device_info_log::Fail(kSource, "GetFieldValue", 139, NotAvailable(key));
    return *value;
}

/* A value that the JSON library refuses to convert counts as not available,
 * the same as a missing one. */
std::string DeviceInfoJsonParser::GetFieldValueAsString(const std::string& key, const std::string& section) const
{
    const Json::Value& value = GetFieldValue(key, section);
    try {
        return value.asString();
    } catch (const Json::Exception&) {
        device_info_log::Fail(kSource, "GetFieldValue", 139, NotAvailable(key));
    }
}

int DeviceInfoJsonParser::GetFieldValueAsInt(const std::string& key, const std::string& section) const
{
    const Json::Value& value = GetFieldValue(key, section);
    try {
        return value.asInt();
    } catch (const Json::Exception&) {
        device_info_log::Fail(kSource, "GetFieldValue", 139, NotAvailable(key));
    }
}

bool DeviceInfoJsonParser::GetFieldValueAsBool(const std::string& key, const std::string& section) const
{
    const Json::Value& value = GetFieldValue(key, section);
    try {
        return value.asBool();
    } catch (const Json::Exception&) {
        device_info_log::Fail(kSource, "GetFieldValue", 139, NotAvailable(key));
    }
}

std::vector<uint32_t> DeviceInfoJsonParser::GetFieldValueAsVector(const std::string& key,
                                                                  const std::string& section) const
{
    const Json::Value& value = GetFieldValue(key, section);
    std::vector<uint32_t> list;
    if (!value.isArray()) device_info_log::Fail(kSource, "GetFieldValue", 139, NotAvailable(key));
    try {
        for (Json::ArrayIndex i = 0; i < value.size(); ++i)
            list.push_back(static_cast<uint32_t>(value[i].asInt()));
    } catch (const Json::Exception&) {
        device_info_log::Fail(kSource, "GetFieldValue", 139, NotAvailable(key));
    }
    return list;
}

} // namespace zrv_core
