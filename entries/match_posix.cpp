// Shell wildcards on POSIX systems: the C library's own matching.
#include "entries/entries.hpp"

#include <fnmatch.h>

bool wildcard_match(const char* pattern, const char* name, bool ignore_case)
{
    return fnmatch(pattern, name, ignore_case ? FNM_CASEFOLD : 0) == 0;
}
