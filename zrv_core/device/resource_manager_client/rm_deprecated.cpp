/* rm_deprecated.cpp: the parts follow. */
#include "rm_internal.h"
