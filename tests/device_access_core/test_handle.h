// A bare handle of one access type, as the open leaves it before a transport is attached: no
// descriptors, CR space, no BAR gateway. Freed by mclose.
#pragma once

#include <stdlib.h>

#include "mtcr_int.h"

inline mfile* new_handle(uint32_t type) {
  mfile* mf = static_cast<mfile*>(calloc(1, sizeof(mfile)));
  mf->access_type = type;
  mf->fd = -1;
  mf->secondary_fd = -1;
  mf->sock_fd = -1;
  mf->lock_fd = no_lock_pair();
  mf->address_space = AS_CR_SPACE;
  mf->bar_gw_offset = static_cast<uint32_t>(-1);
  return mf;
}
