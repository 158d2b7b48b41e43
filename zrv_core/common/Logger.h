/*
 * Logger.h - the process-wide logger of the class-based layers.
 *
 * One line per message on standard output while the variable given at
 * creation (normally "ZRV_PRINT_LOG") is set, at or above the level it names:
 *   [Level] <date>_<time> [<source>_<function>():<line>] | <message>
 * Every call names its location:
 *   Logger::GetInstance(LogLocation(source, __func__, line), "ZRV_PRINT_LOG")->Error(text);
 */
#ifndef ZRV_CORE_COMMON_LOGGER_H
#define ZRV_CORE_COMMON_LOGGER_H

#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace zrv_core {

enum eLoggerSeverityLevel : int {
    eLogDebug = 0,
    eLogInfo = 1,
    eLogWarning = 2,
    eLogError = 3,
    eLogFatal = 4,
};

/* The location text of one call site: " [" source "_" function "():" line "]",
 * source being the file's path below the library root without its extension. */
std::string LogLocation(const std::string& source, const std::string& function, int line);

class Logger {
public:
    Logger();
    explicit Logger(const std::string& env_variable);
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /* Creates the singleton on first use (reading `env_variable`), then makes
     * `location` the current location. */
    static Logger* GetInstance(const std::string& location, const std::string& env_variable);
    static void DeleteInstance();

    /* Sets the minimum level, creates the log directory ("/var/log/zrv/" when
     * `directory` is empty) and composes the log path; opens nothing.
     * Throws std::runtime_error when the directory cannot be created. */
    void Init(eLoggerSeverityLevel level, const std::string& directory);

    void Debug(const std::string& message);
    void Info(const std::string& message);
    void Warning(const std::string& message);
    void Error(const std::string& message);
    void Fatal(const std::string& message);
    void Log(eLoggerSeverityLevel level, const std::string& message);

    std::string GetPrefix(eLoggerSeverityLevel level);
    std::string GetDateTime();
    void SetLocation(const std::string& location);
    bool CheckSeverityLevel(eLoggerSeverityLevel level) const;

    /* "0x" and the value's 32-bit pattern in lower-case hexadecimal. */
    std::string Hexify(int value);

    /* Reads the variable again: set, it gives the threshold (a value that is
     * not a decimal below 5 gives 0); unset, logging is off. */
    void UpdateEnvVariable(const std::string& env_variable);

private:
    void InitSeverityLevelMap();
    void ReadEnvVariable(const std::string& env_variable);

    std::map<eLoggerSeverityLevel, std::string> m_severityNames;
    std::stringstream m_hexStream;
    std::string m_logFileName;
    std::string m_location;
    std::string m_logPath;
    std::string m_logDirectory;
    int m_minimumLevel = 0;
    bool m_envSet = false;   /* the variable was set when last read */
    std::string m_envValue;  /* our own copy of its text */
    int m_printThreshold = 0;

    static Logger* s_poLogger;
    static std::mutex s_oMutex;
};

}  // namespace zrv_core

#endif
