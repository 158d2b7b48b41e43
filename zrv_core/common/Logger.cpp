/*
 * Logger.cpp - the process-wide logger: threshold from the environment,
 * one line per message on standard output.
 */
#include "Logger.h"

#include <stdlib.h>
#include <time.h>

#include <iostream>
#include <stdexcept>

#include "OperatingSystemAPI.h"

namespace zrv_core {

Logger* Logger::s_poLogger = nullptr;
std::mutex Logger::s_oMutex;

static const char* const oSystemLogDirectory = "/var/log/zrv/";

std::string LogLocation(const std::string& source, const std::string& function, int line)
{
    return " [" + source + "_" + function + "():" + std::to_string(line) + "]";
}

Logger::Logger() : Logger("ZRV_PRINT_LOG") {}

Logger::Logger(const std::string& env_variable)
{
    InitSeverityLevelMap();
    ReadEnvVariable(env_variable);
}

Logger::~Logger() = default;

Logger* Logger::GetInstance(const std::string& location, const std::string& env_variable)
{
    std::lock_guard<std::mutex> lock(s_oMutex);
    if (s_poLogger == nullptr)
        s_poLogger = new Logger(env_variable);
    s_poLogger->SetLocation(location);
    return s_poLogger;
}

void Logger::DeleteInstance()
{
    std::lock_guard<std::mutex> lock(s_oMutex);
    delete s_poLogger;
    s_poLogger = nullptr;
}

void Logger::InitSeverityLevelMap()
{
    m_severityNames[eLogDebug] = "Debug";
    m_severityNames[eLogInfo] = "Info";
    m_severityNames[eLogWarning] = "Warning";
    m_severityNames[eLogError] = "Error";
    m_severityNames[eLogFatal] = "Fatal";
}

/* The threshold is the variable's decimal value when it is below 5; anything
 * else, including text that does not convert, counts as 0. */
void Logger::ReadEnvVariable(const std::string& env_variable)
{
    const char* value = getenv(env_variable.c_str());
    m_envSet = value != nullptr;
    m_envValue = value ? value : "";
    m_printThreshold = 0;
    if (!m_envSet)
        return;
    try {
        int threshold = std::stoi(m_envValue);
        m_printThreshold = static_cast<unsigned>(threshold) < 5 ? threshold : 0;
    } catch (const std::logic_error&) {
        m_printThreshold = 0;
    }
}

void Logger::UpdateEnvVariable(const std::string& env_variable)
{
    ReadEnvVariable(env_variable);
}

void Logger::Init(eLoggerSeverityLevel level, const std::string& directory)
{
    std::unique_ptr<OperatingSystemAPI> os = FactoryOperatingSystemAPI::GetInstance();
    std::string executable = os->GetExecutableName();
    m_minimumLevel = level;
    m_logDirectory = directory.empty() ? oSystemLogDirectory : directory;
    os->CreateDirectoryIfNotExist(m_logDirectory);
    m_logPath = m_logDirectory + executable + "_" + m_severityNames[level] + "_" + GetDateTime() +
                "_pid_" + std::to_string(os->GetPID());
    size_t slash = m_logPath.find_last_of("/\\");
    m_logFileName = slash == std::string::npos ? m_logPath : m_logPath.substr(slash + 1);
}

bool Logger::CheckSeverityLevel(eLoggerSeverityLevel level) const
{
    return level >= m_minimumLevel;
}

void Logger::Debug(const std::string& message)
{
    if (CheckSeverityLevel(eLogDebug))
        Log(eLogDebug, message);
}

void Logger::Info(const std::string& message)
{
    if (CheckSeverityLevel(eLogInfo))
        Log(eLogInfo, message);
}

void Logger::Warning(const std::string& message)
{
    if (CheckSeverityLevel(eLogWarning))
        Log(eLogWarning, message);
}

void Logger::Error(const std::string& message)
{
    if (CheckSeverityLevel(eLogError))
        Log(eLogError, message);
}

void Logger::Fatal(const std::string& message)
{
    if (CheckSeverityLevel(eLogFatal))
        Log(eLogFatal, message);
}

void Logger::Log(eLoggerSeverityLevel level, const std::string& message)
{
    if (!m_envSet || static_cast<unsigned>(level) < static_cast<unsigned>(m_printThreshold))
        return;
    std::cout << GetPrefix(level) << message << std::endl;
}

std::string Logger::GetPrefix(eLoggerSeverityLevel level)
{
    return "[" + m_severityNames[level] + "] " + GetDateTime() + m_location + " | ";
}

std::string Logger::GetDateTime()
{
    char buffer[80] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr)
        strftime(buffer, sizeof buffer, "%Y-%m-%d_%X", &local);
    return buffer;
}

void Logger::SetLocation(const std::string& location)
{
    m_location = location;
}

std::string Logger::Hexify(int value)
{
    m_hexStream.str("");
    m_hexStream.clear();
    m_hexStream << "0x" << std::hex << static_cast<unsigned>(value);
    return m_hexStream.str();
}

}  // namespace zrv_core
