/*
 * remote_parse.h - the pieces of remote replies and requests: numbers, hex
 * byte strings and blank-separated lists, each read strictly inside its own
 * text. Every parser returns 0 on success and -1 when the text is not
 * exactly what was asked for; nothing is written past the count given.
 */
#ifndef VEXIL_REMOTE_PARSE_H
#define VEXIL_REMOTE_PARSE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

/* A 32-bit number at *p in C notation (decimal, 0x hex or 0 octal) that
 * starts with a digit; *p moves past it. */
int remote_parse_number(const char** p, uint32_t* out);
/* The same, decimal digits only. */
int remote_parse_decimal(const char** p, uint32_t* out);
/* True at the end of the text, blanks and line ends aside. */
bool remote_at_end(const char* p);
/* True at the end of the text or at a blank. */
bool remote_at_token_end(const char* p);
/* Moves *p past one non-empty token and the single blank after it. */
int remote_skip_token(const char** p);

/* Exactly count numbers, each after a single blank, then the end of the
 * text (one trailing blank allowed), into out. */
int remote_parse_number_list(const char* text, uint32_t* out, size_t count);

/* Exactly count bytes as two hex digits each, then the end of the text. */
int remote_parse_hex(const char* text, uint8_t* out, size_t count);
/* Appends the bytes as two lower-case hex digits each. */
void remote_append_hex(std::string& text, const uint8_t* bytes, size_t count);

#endif /* VEXIL_REMOTE_PARSE_H */
