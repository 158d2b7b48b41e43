/*
 * ZrvConfigParser.h - reads "key<delimiter>value" lines of the configuration
 * file ("/etc/zrv/zrv.conf", delimiter '='). The first line that contains the
 * key anywhere wins; its value is the untrimmed text after the first
 * delimiter, or the whole line when it has none. Lines are read through
 * ReadConfigLine, so a line longer than 4096 characters is cut.
 */
#ifndef ZRV_CORE_UTILS_ZRV_CONFIG_PARSER_H
#define ZRV_CORE_UTILS_ZRV_CONFIG_PARSER_H

#include <cstddef>
#include <istream>
#include <string>

namespace zrv_core {

/* Longest configuration line that is read; the rest of a longer line is
 * skipped, so an endless file costs no more than one line. */
constexpr size_t oMaxConfigLineLength = 4096;

/* Reads the next line (without its newline) into line, cut to
 * oMaxConfigLineLength characters. False at end of file. */
bool ReadConfigLine(std::istream& in, std::string& line);

class ZrvConfigParser {
public:
    ZrvConfigParser(const std::string& path, char delimiter);

    /* Opens the file for each call. Throws ZrvGeneralException when it cannot
     * be opened or no line holds the key. */
    std::string GetFieldValue(const std::string& key) const;
    bool ExtractValue(const std::string& line, const std::string& key, std::string& value) const;

private:
    std::string m_path;
    char m_delimiter;
};

}  // namespace zrv_core

#endif
