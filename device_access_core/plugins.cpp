/*
 * plugins.cpp - loading the core's plug-in libraries.
 *
 * A plug-in is a shared library found by index: MCABLES_PATH names it
 * outright, otherwise the library location prefix ("/usr", or the
 * "zrv_lib_location" of the configuration file) is followed by the index's
 * own path. Its entry points are looked up by name in the order of their
 * slots; a library that lacks one is not used at all.
 */
#include "plugins.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ZrvConfigParser.h"
#include "mtcr_int.h"

namespace {

const char* const kConfigFile = "/etc/zrv/zrv.conf";
const char* const kLocationKey = "zrv_lib_location";
const char* const kDefaultPrefix = "/usr";
const size_t kPathMax = DEV_NAME_SZ - 1; /* 511 characters */

/* The libraries by index. */
const char* const dl_names[] = {
    "/zrv/tqcr_plugins/mcables.so",
    "/zrv/tqcr_plugins/mcables.so",
    "/zrv/python_tools/rreg_access.so",
    "", /* the device-layer bridge: no library, never loaded */
    "/zrv/tqcr_plugins/ssh_utility.so",
};
const int kPluginCount = sizeof(dl_names) / sizeof(dl_names[0]);

/* Entry points by slot (slot k at [k - 1]); null marks an unused slot. */
const char* const cable_entries[PLUGIN_SLOTS] = {
    "mcables_open",          "mcables_close",         "mcables_read4",
    "mcables_write4",        "mcables_read4_block",   "mcables_write4_block",
    "mcables_read_bytes",    "mcables_write_bytes",   "mcables_chip_open",
    "mcables_chip_close",    "mcables_chip_read4",    "mcables_chip_write4",
    "mcables_chip_read4_block", "mcables_chip_write4_block", "cdb_maccess_reg",
    nullptr,
};
const char* const reg_access_entries[PLUGIN_SLOTS] = {"reg_access_mddt", nullptr,
                                                      "reg_access_mgir"};
const char* const bridge_entries[PLUGIN_SLOTS] = {
    "init_device",        "create_config_space_access", "destroy_config_space_access",
    "config_space_access_read", "config_space_access_write", "create_reg_access",
    "destroy_reg_access", "is_gmp_supported",          "reg_access_get",
    "reg_access_send",    "create_reset_access",       "reset_ib_device",
    "create_mad",         "destroy_mad",               "mad_set",
    "mad_get",
};
const char* const ssh_entries[PLUGIN_SLOTS] = {
    "set_up_client_connection", "shut_down_ssh", "write_ssh",
    "read_ssh",                 "remove_host",   "add_host",
};

const char* const* entry_table(int index)
{
    switch (index) {
    case PLUGIN_CABLES:
    case PLUGIN_CABLES_ALT:
        return cable_entries;
    case PLUGIN_REG_ACCESS:
        return reg_access_entries;
    case PLUGIN_DEVICE_BRIDGE:
        return bridge_entries;
    case PLUGIN_SSH:
        return ssh_entries;
    default:
        return nullptr;
    }
}

std::string trim(const std::string& text)
{
    const char* blanks = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

/* The library location prefix: "/usr", replaced by the text between the
 * first and the second '=' of every configuration line that holds the key;
 * the last such line wins. A prefix that is not an absolute path would be
 * taken from the current directory, so it is refused and "/usr" kept. */
std::string library_prefix()
{
    std::string prefix = kDefaultPrefix;
    zrv_core::ConfigFile conf;
    conf.Open(kConfigFile); /* a file that cannot be opened reads as empty */
    std::string line;
    while (conf.ReadLine(line)) {
        if (line.find(kLocationKey) == std::string::npos) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        size_t next = line.find('=', eq + 1);
        std::string value = line.substr(eq + 1, next == std::string::npos ? std::string::npos
                                                                          : next - eq - 1);
        prefix = trim(value);
    }
    if (prefix.empty() || prefix[0] != '/') {
        DBG_PRINTF("-W- Bad %s value (%s) in %s: not an absolute path. Using %s.\n", kLocationKey,
                   prefix.c_str(), kConfigFile, kDefaultPrefix);
        prefix = kDefaultPrefix;
    }
    return prefix;
}


/* The library as the messages name it: the environment's path, else the
 * index's own path. */
const char* library_name(int index)
{
    const char* env = getenv("MCABLES_PATH");
    return env ? env : dl_names[index];
}

} // namespace

int plugin_library_path(int index, char* out, size_t out_sz)
{
    if (index < 0 || index >= kPluginCount || !out) return fail_errno(EINVAL);
    /* An empty path names no library: the prefix (or MCABLES_PATH) alone
     * must not be loaded in its place. */
    if (!dl_names[index][0]) return fail_errno(ENOENT);
    std::string path;
    const char* env = getenv("MCABLES_PATH");
    if (env) {
        path = env;
    } else {
        path = library_prefix() + dl_names[index];
    }
    /* A path that does not fit is refused rather than loaded cut short. */
    if (path.size() > kPathMax || path.size() >= out_sz) return fail_errno(ENAMETOOLONG);
    memcpy(out, path.c_str(), path.size() + 1);
    return 0;
}

struct tqcr_plugin_ctx* tqcr_utils_load_dl_ctx(int index)
{
    char path[DEV_NAME_SZ];
    if (plugin_library_path(index, path, sizeof(path))) {
        /* No path, or one that does not fit, is a library that cannot be located. */
        int err = errno;
        if (err != EINVAL)
            DBG_PRINTF("-E- Failed to locate the shared library: %s\n", library_name(index));
        errno = err;
        return nullptr;
    }

    auto* ctx = (struct tqcr_plugin_ctx*)calloc(1, sizeof(struct tqcr_plugin_ctx));
    if (!ctx) {
        errno = ENOMEM;
        return nullptr;
    }
    ctx->index = index;
    ctx->dl_handle = dlopen(path, RTLD_LAZY);
    if (!ctx->dl_handle) {
        DBG_PRINTF("-E- Failed to locate the shared library: %s\n", library_name(index));
        free(ctx);
        errno = ENOENT;
        return nullptr;
    }

    const char* const* names = entry_table(index);
    for (int slot = 0; slot < PLUGIN_SLOTS; ++slot) {
        if (!names[slot]) continue;
        dlerror();
        void* entry = dlsym(ctx->dl_handle, names[slot]);
        const char* err = dlerror();
        if (err || !entry) {
            fprintf(stderr, "Failed to load the function: %s, error: %s\n", names[slot],
                    err ? err : "null symbol");
            dlclose(ctx->dl_handle);
            free(ctx);
            errno = ENOENT;
            return nullptr;
        }
        ctx->entries[slot] = entry;
    }
    return ctx;
}

int tqcr_utils_free_dl_ctx(struct tqcr_plugin_ctx* ctx)
{
    if (!ctx) return 1;
    free(ctx);
    return 0;
}

struct tqcr_plugin_ctx* reg_access_lib_load(mfile* mf)
{
    if (!mf) {
        errno = EINVAL;
        return nullptr;
    }
    if (mf->plugin_ctx) {
        if (mf->plugin_ctx->index == PLUGIN_REG_ACCESS) return mf->plugin_ctx;
        errno = EBUSY;
        return nullptr;
    }
    mf->plugin_ctx = tqcr_utils_load_dl_ctx(PLUGIN_REG_ACCESS);
    return mf->plugin_ctx;
}

void* plugin_entry(const mfile* mf, int slot)
{
    if (!mf || !mf->plugin_ctx || slot < 0 || slot >= PLUGIN_SLOTS) return nullptr;
    return mf->plugin_ctx->entries[slot];
}
