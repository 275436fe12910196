// libc++ takes its locale functions from <xlocale.h> on Apple platforms: glibc declares most of
// them in <locale.h> and <ctype.h>; the rest are declared here as the SDK declares them.
#pragma once

#include <ctype.h>
#include <locale.h>
#include <stddef.h>

// glibc's macros dereference the locale, which Apple's code passes as 0 for the C locale; the
// functions of the same names remain.
#undef isdigit_l
#undef isxdigit_l

extern "C" {
int snprintf_l(char* s, size_t n, locale_t l, const char* format, ...);
int asprintf_l(char** s, locale_t l, const char* format, ...);
int sscanf_l(const char* s, locale_t l, const char* format, ...);
}
