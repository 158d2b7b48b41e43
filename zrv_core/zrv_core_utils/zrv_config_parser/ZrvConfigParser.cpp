/*
 * ZrvConfigParser.cpp - key lookup in the configuration file.
 */
#include "ZrvConfigParser.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "Logger.h"
#include "ZrvGeneralException.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/zrv_core_utils/zrv_config_parser/ZrvConfigParser";

ConfigFile::~ConfigFile()
{
    if (m_fd >= 0) close(m_fd);
}

bool ConfigFile::Open(const std::string& path)
{
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_notRegular = m_cut = false;
    m_total = m_at = m_end = 0;
    /* Non-blocking, so that a FIFO put in place after the check cannot hold
     * the open; fstat then confirms what was opened. */
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    m_notRegular = !S_ISREG(info.st_mode);
    if (m_notRegular) return false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        m_notRegular = true;
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool ConfigFile::NextByte(char& c)
{
    if (m_at == m_end) {
        /* One byte past the bound is read too: it tells a file that the
         * bound cuts from one that ends right there. A newline there ends
         * the last line whole and is handed out; any other byte is not. */
        if (m_fd < 0 || m_total > oMaxConfigFileBytes) return false;
        const size_t want = std::min(sizeof(m_buffer), oMaxConfigFileBytes + 1 - m_total);
        ssize_t got;
        do {
            got = read(m_fd, m_buffer, want);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;
        m_total += static_cast<size_t>(got);
        m_at = 0;
        m_end = static_cast<size_t>(got);
        if (m_total > oMaxConfigFileBytes && m_buffer[m_end - 1] != '\n') {
            m_cut = true;
            if (--m_end == 0) return false;
        }
    }
    c = m_buffer[m_at++];
    return true;
}

bool ConfigFile::ReadLine(std::string& line)
{
    line.clear();
    char c;
    if (!NextByte(c)) return false;
    do {
        if (c == '\n') return true;
        if (line.size() < oMaxConfigLineLength) line.push_back(c);
    } while (NextByte(c));
    /* The last line: whole when the file ended, only its start when the
     * bound cut it. */
    if (!m_cut) return true;
    line.clear();
    return false;
}

ZrvConfigParser::ZrvConfigParser(const std::string& path, char delimiter)
    : m_path(path), m_delimiter(delimiter)
{
}

std::string ZrvConfigParser::GetFieldValue(const std::string& key) const
{
    std::stringstream message;
    ConfigFile file;
    if (!file.Open(m_path)) {
        message << "Failed to open ZRV configuration file: " << m_path << std::endl;
        Logger::GetInstance(LogLocation(oSource, __func__, __LINE__), "ZRV_PRINT_LOG")
            ->Error(message.str());
        throw ZrvGeneralException(message.str(), 0);
    }
    std::string line;
    std::string value;
    while (file.ReadLine(line)) {
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
