/*
 * DynamicLinking.h - one shared library per object, loaded at run time.
 * LinuxDynamicLinking does it with dlopen; FactoryDynamicLinking hands out a
 * new object per call.
 */
#ifndef ZRV_CORE_UTILS_DYNAMIC_LINKING_H
#define ZRV_CORE_UTILS_DYNAMIC_LINKING_H

#include <memory>
#include <string>

namespace zrv_core {

class DynamicLinking {
public:
    virtual ~DynamicLinking() = default;
    /* 0 on success; throws ZrvGeneralException when the library cannot be loaded. */
    virtual int LoadDynamicLibrary(const std::string& name) = 0;
    /* Unloads the library, if any; the object holds none afterwards, even when
     * unloading fails (std::invalid_argument). */
    virtual void FreeDynamicLibrary() = 0;
    /* The symbol's address in the loaded library. A missing symbol (or no
     * library loaded) throws std::invalid_argument, or gives null when
     * `optional` is true. */
    virtual void* GetFunctionAddress(const std::string& symbol, bool optional) = 0;
};

class LinuxDynamicLinking : public DynamicLinking {
public:
    LinuxDynamicLinking() = default;
    ~LinuxDynamicLinking() override;
    LinuxDynamicLinking(const LinuxDynamicLinking&) = delete;
    LinuxDynamicLinking& operator=(const LinuxDynamicLinking&) = delete;

    int LoadDynamicLibrary(const std::string& name) override;
    void FreeDynamicLibrary() override;
    void* GetFunctionAddress(const std::string& symbol, bool optional) override;

private:
    void* m_handle = nullptr;
};

class FactoryDynamicLinking {
public:
    static std::unique_ptr<DynamicLinking> GetInstance();
};

}  // namespace zrv_core

#endif
