/* rm_control.cpp: the parts follow. */
#include "rm_internal.h"
