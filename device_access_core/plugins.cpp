/*
 * plugins.cpp - loading the core's plug-in libraries.
 * Placeholder until the plug-in loader lands: no library is ever loaded, so
 * every caller sees a missing plug-in.
 */
#include "plugins.h"

#include <errno.h>
#include <stdlib.h>

#include "mtcr_int.h"

struct tqcr_plugin_ctx* tqcr_utils_load_dl_ctx(int)
{
    errno = ENOTSUP;
    return nullptr;
}

int tqcr_utils_free_dl_ctx(struct tqcr_plugin_ctx* ctx)
{
    if (!ctx) return 1;
    free(ctx);
    return 0;
}

struct tqcr_plugin_ctx* reg_access_lib_load(mfile*)
{
    errno = ENOTSUP;
    return nullptr;
}

void* plugin_entry(const mfile* mf, int slot)
{
    if (!mf || !mf->plugin_ctx || slot < 0 || slot >= PLUGIN_SLOTS) return nullptr;
    return mf->plugin_ctx->entries[slot];
}
