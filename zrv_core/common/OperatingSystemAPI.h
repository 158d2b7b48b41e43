/*
 * OperatingSystemAPI.h - the operating-system services the class-based
 * layers use, behind one abstract interface; `Linux` implements it and
 * FactoryOperatingSystemAPI hands out a new object per call.
 */
#ifndef ZRV_CORE_COMMON_OPERATING_SYSTEM_API_H
#define ZRV_CORE_COMMON_OPERATING_SYSTEM_API_H

#include <cstdint>
#include <memory>
#include <string>

namespace zrv_core {

class OperatingSystemAPI {
public:
    virtual ~OperatingSystemAPI() = default;
    virtual int GetPID() = 0;
    /* Sends standard error to "/dev/null"; returns a descriptor of the old
     * standard error for RestoreStderr, or -1 with standard error untouched. */
    virtual int SuppressStderr();
    virtual std::string GetFilePath(const std::string& directory, const std::string& file) = 0;
    virtual std::string GetExecutableName() = 0;
    virtual std::string GetExecutableDir() = 0;
    virtual std::string GetLogDirectory() = 0;
    /* Puts back the standard error saved by SuppressStderr and closes `fd`;
     * returns close's result, or -1 without doing anything when fd < 0. */
    virtual int RestoreStderr(int fd);
    /* Swaps the bytes of byte_count/4 words from `word` on; returns that count. */
    virtual int LittleToBig32(uint32_t& word, int byte_count) = 0;
    /* 0 or EEXIST; throws std::runtime_error on any other failure. */
    virtual int CreateDirectoryIfNotExist(const std::string& path) = 0;
    /* A zero or negative time returns at once. */
    virtual void MilliSecondsSleep(int milliseconds) = 0;
    /* `buffer` holds 64 bytes; the name is always terminated. */
    virtual int GetHostName(char* buffer) = 0;
    /* One line from standard input with echo off: at most size-1 characters
     * and a NUL. Returns 0, or -1 at end of input or when the terminal
     * settings cannot be put back. */
    virtual int InputPassword(char* buffer, unsigned int size) = 0;
    virtual bool FileExists(const std::string& path);
    virtual long get_page_size() = 0;
    /* Throws std::runtime_error when the path cannot be read or does not fit
     * in 4095 bytes. */
    virtual std::string GetExecutablePath() = 0;
};

class Linux : public OperatingSystemAPI {
public:
    int GetPID() override;
    std::string GetFilePath(const std::string& directory, const std::string& file) override;
    std::string GetExecutableName() override;
    std::string GetExecutableDir() override;
    std::string GetLogDirectory() override;
    int LittleToBig32(uint32_t& word, int byte_count) override;
    int CreateDirectoryIfNotExist(const std::string& path) override;
    void MilliSecondsSleep(int milliseconds) override;
    int GetHostName(char* buffer) override;
    int InputPassword(char* buffer, unsigned int size) override;
    long get_page_size() override;
    std::string GetExecutablePath() override;
};

class FactoryOperatingSystemAPI {
public:
    static std::unique_ptr<OperatingSystemAPI> GetInstance();
};

}  // namespace zrv_core

#endif
