/*
 * Keys.cpp - the tool's configuration file, the subnet manager's
 * configuration and its GUID-to-LID and GUID-to-key caches.
 */
#include "Keys.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>

#include <fstream>

#include "IBLog.h"
#include "zrv_core_utils/zrv_config_parser/ZrvConfigParser.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/Keys";

namespace {

/* A number with base detection (0x hexadecimal, 0 octal, decimal);
 * trailing text after the digits is ignored. False when no digit. */
bool Convert(const std::string& text, uint64_t& value)
{
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long converted = strtoull(start, &end, 0);
    if (end == start || errno == ERANGE) return false;
    value = converted;
    return true;
}

/* The text before the first blank, and the rest after it. */
void SplitFirst(const std::string& line, std::string& first, std::string& rest)
{
    const size_t blank = line.find(' ');
    first = line.substr(0, blank);
    rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
}

/* Opens a file to read; a directory counts as a file that cannot be read. */
bool OpenToRead(const std::string& path, std::ifstream& file)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return false;
    file.open(path);
    return file.is_open();
}

std::string ValueOf(const std::string& line)
{
    const size_t equals = line.find('=');
    return equals == std::string::npos ? std::string() : line.substr(equals + 1);
}

}  // namespace

BaseKey::BaseKey(const std::string& suffix, const std::string& enable_keyword)
    : m_keyFileSuffix(suffix), m_enableKeyword(enable_keyword)
{
}

bool BaseKey::FileExists(const std::string& path)
{
    return !(access(path.c_str(), R_OK) != 0 && errno == ENOENT);
}

uint64_t BaseKey::GetKey(const std::string& lid_text, bool read_sm_configuration)
{
    ParseZRVConfigurationFile();
    if (m_enabled) {
        if (read_sm_configuration) ParseSMConfigurationFile();
        if (m_key == 0) ExtractKey(lid_text);
    }
    return m_key;
}

void BaseKey::ParseZRVConfigurationFile()
{
    const std::string path = oZrvConfigurationFile;
    if (!FileExists(path)) {
        IB_LOG(Debug, "No " + path + ": " + m_enableKeyword + " lookup is off");
        m_enabled = false;
        return;
    }
    ConfigFile file;
    if (!file.Open(path)) {
        if (!file.NotRegular()) IB_FAIL("Failed to open ZRV configuration file: " + path);
        /* A device, a FIFO or a directory holds no keys, as a missing file. */
        IB_LOG(Debug, path + " is not a regular file: " + m_enableKeyword + " lookup is off");
        m_enabled = false;
        return;
    }
    std::string line;
    while (file.ReadLine(line)) {
        if (line.find(m_enableKeyword) != std::string::npos) {
            m_enabled = ValueOf(line) == "yes";
            if (!m_enabled) break;
        } else if (line.find("sm_config_dir") != std::string::npos) {
            const std::string value = ValueOf(line);
            if (m_enabled && !value.empty()) {
                m_topologyDirectory = value;
                IB_LOG(Info, "Open SM topology path is set to " + value);
            }
        } else if (line.find("sm_conf_file_path") != std::string::npos) {
            const std::string value = ValueOf(line);
            if (m_enabled && !value.empty()) {
                m_smConfigurationFile = value;
                IB_LOG(Info, "Open SM Config directory is set to " + value);
            }
        }
    }
}

void BaseKey::ParseSMConfigurationFile()
{
    std::ifstream file;
    if (!OpenToRead(m_smConfigurationFile, file)) IB_FAIL("Failed to open OpenSM configuration file: " + m_smConfigurationFile);
    std::string line;
    while (std::getline(file, line)) {
        if (line.find("m_key") == std::string::npos) continue;
        std::string name, value;
        SplitFirst(line, name, value);
        uint64_t key = 0;
        if (Convert(value, key)) m_key = key;
        return;
    }
}

void BaseKey::ExtractKey(const std::string& lid_text)
{
    m_guid2LidFile = m_topologyDirectory + "/guid2lid";
    m_keyFile = m_topologyDirectory + m_keyFileSuffix;
    uint64_t lid = 0;
    Convert(lid_text, lid);

    std::ifstream lids;
    if (!OpenToRead(m_guid2LidFile, lids)) IB_FAIL("Failed to open Guid2Lid file: " + m_guid2LidFile);
    std::string guid, line;
    bool found = false;
    while (!found && std::getline(lids, line)) {
        if (line.empty()) continue;
        std::string first, rest, low_text, high_text;
        SplitFirst(line, first, rest);
        SplitFirst(rest, low_text, high_text);
        uint64_t low = 0, high = 0;
        if (!Convert(low_text, low) || !Convert(high_text, high)) continue;
        if (low <= lid && lid <= high) {
            guid = first;
            found = true;
        }
    }
    if (!found) IB_FAIL("Failed to parse GUID2Lid file: " + m_guid2LidFile);

    if (!FileExists(m_keyFile)) {
        IB_LOG(Warning, "Unable to find Guid2Key file: " + m_keyFile);
        return;
    }
    std::ifstream keys;
    if (!OpenToRead(m_keyFile, keys)) IB_FAIL("Failed to open Guid2Key file: " + m_keyFile);
    while (std::getline(keys, line)) {
        if (line.empty()) continue;
        std::string first, rest;
        SplitFirst(line, first, rest);
        if (first != guid) continue;
        uint64_t key = 0;
        if (!Convert(rest, key)) IB_FAIL("Bad key for GUID " + guid + " in Guid2Key file: " + m_keyFile);
        m_key = key;
        return;
    }
    IB_FAIL("Failed to parse GUID2Key file: " + m_keyFile);
}

}  // namespace zrv_core
