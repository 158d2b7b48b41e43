/*
 * ZrvConfigParser.cpp - key lookup in the configuration file.
 */
#include "ZrvConfigParser.h"

#include <fstream>
#include <sstream>

#include "Logger.h"
#include "ZrvGeneralException.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/zrv_core_utils/zrv_config_parser/ZrvConfigParser";

bool ReadConfigLine(std::istream& in, std::string& line)
{
    line.clear();
    std::streambuf* buffer = in ? in.rdbuf() : nullptr;
    if (!buffer) return false;
    using Traits = std::streambuf::traits_type;
    Traits::int_type c = buffer->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
        in.setstate(std::ios::eofbit | std::ios::failbit);
        return false;
    }
    for (; !Traits::eq_int_type(c, Traits::eof()); c = buffer->sbumpc()) {
        if (Traits::to_char_type(c) == '\n') return true;
        if (line.size() < oMaxConfigLineLength) line.push_back(Traits::to_char_type(c));
    }
    in.setstate(std::ios::eofbit);
    return true;
}

ZrvConfigParser::ZrvConfigParser(const std::string& path, char delimiter)
    : m_path(path), m_delimiter(delimiter)
{
}

std::string ZrvConfigParser::GetFieldValue(const std::string& key) const
{
    std::stringstream message;
    std::ifstream file(m_path);
    if (!file.is_open()) {
        message << "Failed to open ZRV configuration file: " << m_path << std::endl;
        Logger::GetInstance(LogLocation(oSource, __func__, __LINE__), "ZRV_PRINT_LOG")
            ->Error(message.str());
        throw ZrvGeneralException(message.str(), 0);
    }
    std::string line;
    std::string value;
    while (ReadConfigLine(file, line)) {
        if (ExtractValue(line, key, value))
            return value;
    }
    message << "Following field not found in ZRV configuration file: " << key << std::endl;
    Logger::GetInstance(LogLocation(oSource, __func__, __LINE__), "ZRV_PRINT_LOG")
        ->Error(message.str());
    throw ZrvGeneralException(message.str(), 0);
}

bool ZrvConfigParser::ExtractValue(const std::string& line, const std::string& key,
                                   std::string& value) const
{
    if (line.find(key) == std::string::npos)
        return false;
    size_t delimiter = line.find(m_delimiter);
    value = delimiter == std::string::npos ? line : line.substr(delimiter + 1);
    return true;
}

}  // namespace zrv_core
