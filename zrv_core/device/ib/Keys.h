/*
 * Keys.h - the M_Key and VS_Key of a destination LID, looked up in the
 * subnet manager's caches (GUID by LID in "guid2lid", key by GUID in
 * "guid2mkey" or "guid2vskey") when the tool's configuration file enables
 * the kind ("mkey_enable=yes", "vskey_enable=yes").
 *
 * A machine without the configuration file has key lookup off: the keys
 * are 0. A file that exists but cannot be read, and an enabled lookup that
 * cannot find its key, throw ZrvGeneralException.
 */
#ifndef ZRV_CORE_DEVICE_IB_KEYS_H
#define ZRV_CORE_DEVICE_IB_KEYS_H

#include <stdint.h>

#include <string>

namespace zrv_core {

class BaseKey {
public:
    static constexpr const char* oZrvConfigurationFile = "/etc/zrv/zrv.conf";

    BaseKey(const std::string& suffix, const std::string& enable_keyword);
    virtual ~BaseKey() = default;
    virtual void Init() = 0;

protected:
    /* The key for the LID (0 when lookup is off); reads the subnet
     * manager's configuration first when `read_sm_configuration`. */
    uint64_t GetKey(const std::string& lid_text, bool read_sm_configuration);

private:
    void ParseZRVConfigurationFile();
    void ParseSMConfigurationFile();
    void ExtractKey(const std::string& lid_text);
    static bool FileExists(const std::string& path);

    std::string m_guid2LidFile;
    std::string m_keyFileSuffix;
    std::string m_keyFile;
    std::string m_enableKeyword;
    std::string m_topologyDirectory = "/var/cache/opensm/";
    std::string m_smConfigurationFile = "/etc/opensm/opensm.conf";
    uint64_t m_key = 0;
    bool m_enabled = false;
};

class MKey : public BaseKey {
public:
    MKey() : BaseKey("/guid2mkey", "mkey_enable") {}
    void Init() override {}
    uint64_t GetMKey(uint32_t lid) { return GetKey(std::to_string(lid), false); }
};

class VSKey : public BaseKey {
public:
    VSKey() : BaseKey("/guid2vskey", "vskey_enable") {}
    void Init() override {}
    uint64_t GetVSKey(uint32_t lid) { return GetKey(std::to_string(lid), false); }
};

}  // namespace zrv_core

#endif
