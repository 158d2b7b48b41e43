/*
 * LinuxDynamicLinking.cpp - one shared library per object through dlopen,
 * and the factory that hands such objects out.
 */
#include <dlfcn.h>

#include <sstream>
#include <stdexcept>

#include "DynamicLinking.h"
#include "Logger.h"
#include "ZrvGeneralException.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/zrv_core_utils/load_shared_library/LinuxDynamicLinking";

static Logger* Log(const char* function, int line)
{
    return Logger::GetInstance(LogLocation(oSource, function, line), "ZRV_PRINT_LOG");
}

/* dlerror() is null when nothing failed since it was last asked. */
static std::string DlErrorText()
{
    const char* text = dlerror();
    return text ? text : "unknown error";
}

std::unique_ptr<DynamicLinking> FactoryDynamicLinking::GetInstance()
{
    return std::unique_ptr<DynamicLinking>(new LinuxDynamicLinking());
}

LinuxDynamicLinking::~LinuxDynamicLinking()
{
    try {
        FreeDynamicLibrary();
    } catch (...) {
    }
}

int LinuxDynamicLinking::LoadDynamicLibrary(const std::string& name)
{
    Log(__func__, __LINE__)->Info("dlopen function called, library name: " + name);
    void* handle = dlopen(name.c_str(), RTLD_LAZY);
    if (handle == nullptr) {
        std::stringstream message;
        message << "Failed to load the shared library: " << name << ", dlerror: " << DlErrorText()
                << std::endl;
        Log(__func__, __LINE__)->Error(message.str());
        throw ZrvGeneralException(message.str(), 0);
    }
    /* A second load on the same object gives up the reference it held. */
    void* previous = m_handle;
    m_handle = handle;
    if (previous != nullptr)
        dlclose(previous);
    Log(__func__, __LINE__)->Info("Dynamic library loaded successfully: " + name);
    return 0;
}

/* Never again on the same handle: it is let go even when dlclose fails, and
 * only dlclose's own result counts (an older dlerror() text does not). */
void LinuxDynamicLinking::FreeDynamicLibrary()
{
    if (m_handle == nullptr)
        return;
    void* handle = m_handle;
    m_handle = nullptr;
    if (dlclose(handle) != 0) {
        dlerror();
        throw std::invalid_argument("Failed to free the dynamic linking library.");
    }
}

/* Only the loaded library is searched: with none loaded, dlsym would search
 * the whole process. */
void* LinuxDynamicLinking::GetFunctionAddress(const std::string& symbol, bool optional)
{
    void* address = nullptr;
    bool found = false;
    if (m_handle != nullptr) {
        dlerror();
        address = dlsym(m_handle, symbol.c_str());
        found = dlerror() == nullptr;
    }
    Log(__func__, __LINE__)->Info("dlsym function called, function name: " + symbol);
    if (found)
        return address;
    if (!optional)
        throw std::invalid_argument("Failed to get the function address" + symbol);
    Log(__func__, __LINE__)->Info("Failed to get the function address: " + symbol);
    return nullptr;
}

}  // namespace zrv_core
