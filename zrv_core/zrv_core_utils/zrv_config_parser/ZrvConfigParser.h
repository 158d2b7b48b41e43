/*
 * ZrvConfigParser.h - reads "key<delimiter>value" lines of the configuration
 * file ("/etc/zrv/zrv.conf", delimiter '='). The first line that contains the
 * key anywhere wins; its value is the untrimmed text after the first
 * delimiter, or the whole line when it has none. Every reader of the file
 * goes through ConfigFile, so a line longer than 4096 characters is cut and
 * nothing past the first MiB is read (a line that runs past it is no line).
 */
#ifndef ZRV_CORE_UTILS_ZRV_CONFIG_PARSER_H
#define ZRV_CORE_UTILS_ZRV_CONFIG_PARSER_H

#include <cstddef>
#include <string>

namespace zrv_core {

/* Longest configuration line that is read; the rest of a longer line is
 * skipped. */
constexpr size_t oMaxConfigLineLength = 4096;
/* Reading stops after this many bytes, as if the file ended there, so a file
 * that never ends costs no more than this; a last line that the bound cuts
 * (the file goes on) is dropped rather than read as a whole one. A newline
 * as the first byte past the bound cuts nothing: that line is read. */
constexpr size_t oMaxConfigFileBytes = 1 << 20;

/* A configuration file read line by line. Only a regular file is opened
 * (links are followed): a device, a FIFO or a directory counts as a file that
 * cannot be opened, and opening never waits. */
class ConfigFile {
public:
    ConfigFile() = default;
    ~ConfigFile();
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    /* False when the path names no regular file or it cannot be opened. */
    bool Open(const std::string& path);
    /* After an Open that failed: true when the path named something that is
     * not a regular file (a device, a FIFO, a directory), false when there
     * was nothing to open or a regular file would not open. */
    bool NotRegular() const { return m_notRegular; }
    /* The next line without its newline, cut to oMaxConfigLineLength
     * characters. False at the end of the file, after a read error, at
     * oMaxConfigFileBytes (a line the bound cuts is not handed out), or when
     * the file is not open. */
    bool ReadLine(std::string& line);

private:
    bool NextByte(char& c);

    int m_fd = -1;
    bool m_notRegular = false;
    bool m_cut = false;  /* the bound cuts a line: the byte past it is no newline */
    size_t m_total = 0;  /* bytes read from the file so far */
    size_t m_at = 0;     /* next byte of the buffer */
    size_t m_end = 0;    /* bytes in the buffer */
    char m_buffer[4096];
};

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
