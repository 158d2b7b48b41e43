/*
 * remote_parse.cpp - strict readers and writers of the remote protocol's
 * numbers and hex byte strings.
 */
#include "remote_parse.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

static int parse_base(const char** p, uint32_t* out, int base)
{
    if (!p || !*p || !out || !isdigit((unsigned char)**p)) return -1;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(*p, &end, base);
    if (errno || end == *p || value > 0xffffffffULL) return -1;
    *out = (uint32_t)value;
    *p = end;
    return 0;
}

int remote_parse_number(const char** p, uint32_t* out) { return parse_base(p, out, 0); }
int remote_parse_decimal(const char** p, uint32_t* out) { return parse_base(p, out, 10); }

bool remote_at_end(const char* p)
{
    while (*p == ' ' || *p == '\n' || *p == '\r') p++;
    return *p == '\0';
}

bool remote_at_token_end(const char* p) { return *p == '\0' || *p == ' '; }

int remote_skip_token(const char** p)
{
    const char* q = *p;
    if (*q == '\0' || *q == ' ') return -1;
    while (*q && *q != ' ') q++;
    if (*q != ' ') return -1;
    *p = q + 1;
    return 0;
}

int remote_parse_number_list(const char* text, uint32_t* out, size_t count)
{
    if (!text) return -1;
    const char* p = text;
    for (size_t i = 0; i < count; ++i) {
        if (*p++ != ' ') return -1;
        if (remote_parse_number(&p, &out[i]) || !remote_at_token_end(p)) return -1;
    }
    if (*p == ' ') p++;
    return *p == '\0' ? 0 : -1;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int remote_parse_hex(const char* text, uint8_t* out, size_t count)
{
    if (!text) return -1;
    for (size_t i = 0; i < count; ++i) {
        int high = hex_value(text[2 * i]);
        if (high < 0) return -1;
        int low = hex_value(text[2 * i + 1]);
        if (low < 0) return -1;
        out[i] = (uint8_t)(high << 4 | low);
    }
    return remote_at_end(text + 2 * count) ? 0 : -1;
}

void remote_append_hex(std::string& text, const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xf];
    }
}
