/*
 * Linux.cpp - the operating-system services on Linux, and their factory.
 */
#include <errno.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <limits>
#include <stdexcept>

#include "OperatingSystemAPI.h"

namespace zrv_core {

std::unique_ptr<OperatingSystemAPI> FactoryOperatingSystemAPI::GetInstance()
{
    return std::unique_ptr<OperatingSystemAPI>(new Linux());
}

int Linux::GetPID()
{
    return getpid();
}

std::string Linux::GetFilePath(const std::string& directory, const std::string& file)
{
    return directory + "/" + file;
}

/* readlink neither terminates nor says whether it cut the path: a path that
 * fills the whole buffer may have been cut and is refused. */
std::string Linux::GetExecutablePath()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path)
        throw std::runtime_error("Failed to get the executable path");
    return std::string(path, static_cast<size_t>(length));
}

std::string Linux::GetExecutableName()
{
    std::string path = GetExecutablePath();
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Linux::GetExecutableDir()
{
    std::string path = GetExecutablePath();
    return path.substr(0, path.find_last_of('/'));
}

std::string Linux::GetLogDirectory()
{
    return "/var/log/zrv/";
}

int Linux::LittleToBig32(uint32_t& word, int byte_count)
{
    uint32_t* words = &word;
    int count = byte_count > 0 ? byte_count / 4 : 0;
    for (int i = 0; i < count; ++i)
        words[i] = __builtin_bswap32(words[i]);
    return count;
}

int Linux::CreateDirectoryIfNotExist(const std::string& path)
{
    if (mkdir(path.c_str(), 0777) == 0)
        return 0;
    if (errno == 0 || errno == EEXIST)
        return errno;
    throw std::runtime_error("Cannot create the directory: " + path);
}

void Linux::MilliSecondsSleep(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int Linux::GetHostName(char* buffer)
{
    const size_t size = 64;
    int rc = gethostname(buffer, size);
    buffer[size - 1] = '\0';
    return rc;
}

/* Echo is put back only from settings that were actually read (standard input
 * may be a pipe or a file). */
int Linux::InputPassword(char* buffer, unsigned int size)
{
    if (buffer == nullptr || size == 0)
        return -1;
    struct termios saved;
    bool have_settings = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (have_settings) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    buffer[0] = '\0';
    std::cin.getline(buffer, static_cast<std::streamsize>(size));
    bool read_ok = !std::cin.fail();
    if (!read_ok) {
        /* A line longer than the buffer fails whole: its rest is read away so that the
         * next call does not take it for a password of its own. */
        const bool overlong = !std::cin.eof();
        std::cin.clear();
        if (overlong)
            std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    int rc = have_settings ? tcsetattr(STDIN_FILENO, TCSANOW, &saved) : 0;
    return read_ok ? rc : -1;
}

long Linux::get_page_size()
{
    return sysconf(_SC_PAGESIZE);
}

}  // namespace zrv_core
