/*
 * pci_function.h - the function number at the end of a PCI address text
 * ("domain:bus:dev.fn", "bus:dev.fn"), read the same way by every parser of
 * such texts, so that no two of them read different functions from one text
 * and none takes a longer number for a shorter one.
 */
#ifndef PCI_FUNCTION_H
#define PCI_FUNCTION_H

#include <stddef.h>

/* Reads the function at text: decimal, every digit there as one number
 * (leading zeros included), at most 7, and no letter right after the digits
 * ("0x7" and "7a" are no function). The end of the digits with *func set, or
 * NULL. */
static inline const char* pci_scan_function(const char* text, unsigned* func)
{
    if (!text || *text < '0' || *text > '9') return NULL;
    unsigned value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (value <= 7) value = value * 10 + (unsigned)(*p - '0'); /* past 7 it stays past */
    const char lower = (char)(*p | 0x20);
    if (value > 7 || (lower >= 'a' && lower <= 'z')) return NULL;
    *func = value;
    return p;
}

#endif
