/*
 * pci_ul.cpp - the user-level PCI path.
 * Placeholder until the user-level PCI transport lands: opens fail with
 * ENOTSUP and nothing is ever opened here.
 */
#include "pci_ul.h"

#include <errno.h>
#include <stdlib.h>

#include "mtcr_int.h"

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

mfile* mopen_ul(const char* name) { return mopen_ul_int(name, 0); }
mfile* mopen_ul_int(const char*, int)
{
    errno = ENOTSUP;
    return nullptr;
}
int mclose_ul(mfile* mf)
{
    free(mf);
    return 0;
}
int mread4_ul(mfile*, unsigned int, uint32_t*) { return not_supported(); }
int mwrite4_ul(mfile*, unsigned int, uint32_t) { return not_supported(); }
int mread4_block_ul(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
int mwrite4_block_ul(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
int mread_buffer_ul(mfile*, unsigned int, uint8_t*, int) { return not_supported(); }
int mwrite_buffer_ul(mfile*, unsigned int, uint8_t*, int) { return not_supported(); }
int mpci_change(mfile* mf)
{
    if (!mf || !mf->pci_change) return not_supported();
    return mf->pci_change(mf);
}
int mpci_change_ul(mfile*) { return not_supported(); }
int mclear_pci_semaphore_ul(const char*) { return 1; }
int maccess_reg_mad_ul(mfile*, uint8_t*)
{
    errno = ENODEV;
    return 268;
}
int flock_int(int fd, int)
{
    if (fd == 0) return 0;
    return not_supported();
}
int create_lock_file(const char*, int, int* fd_out)
{
    if (fd_out) *fd_out = 0;
    return not_supported();
}
int check_force_config(unsigned, unsigned, unsigned, unsigned) { return 1; }
