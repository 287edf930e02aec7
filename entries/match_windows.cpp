// Shell wildcards on Windows, matched here as the C library of POSIX systems
// matches them (entries/match_posix.cpp).
#include "entries/walk.hpp"

#include <cctype>
#include <cstring>
#include <string>

namespace {

// A bracket expression at p (just past '['): whether c is in it, and where
// the pattern goes on. False in `valid` when it is not closed: then '[' is
// an ordinary character.
unsigned char fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

unsigned char unfold(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

const char* match_bracket(const char* p, unsigned char c, bool ignore_case, bool& in, bool& valid)
{
    const bool negate = *p == '!' || *p == '^';
    if (negate) ++p;
    bool found = false;
    bool first = true;
    while (*p && (*p != ']' || first)) {
        first = false;
        if (p[0] == '[' && p[1] == ':') {
            const char* end = std::strstr(p + 2, ":]");
            if (end) {
                const std::string name(p + 2, end);
                const int ci = c;
                const bool member = (name == "alpha" && std::isalpha(ci)) || (name == "digit" && std::isdigit(ci)) ||
                                    (name == "alnum" && std::isalnum(ci)) || (name == "upper" && std::isupper(ci)) ||
                                    (name == "lower" && std::islower(ci)) || (name == "space" && std::isspace(ci)) ||
                                    (name == "punct" && std::ispunct(ci)) || (name == "xdigit" && std::isxdigit(ci)) ||
                                    (name == "print" && std::isprint(ci)) || (name == "graph" && std::isgraph(ci)) ||
                                    (name == "cntrl" && std::iscntrl(ci)) || (name == "blank" && (c == ' ' || c == '\t'));
                found = found || member;
                p = end + 2;
                continue;
            }
        }
        unsigned char low = static_cast<unsigned char>(*p);
        if (low == '\\' && p[1]) low = static_cast<unsigned char>(*++p);
        ++p;
        unsigned char high = low;
        if (p[0] == '-' && p[1] && p[1] != ']') {
            high = static_cast<unsigned char>(p[1]);
            p += 2;
            if (high == '\\' && *p) high = static_cast<unsigned char>(*p++);
        }
        if ((c >= low && c <= high) ||
            (ignore_case && ((fold(c) >= low && fold(c) <= high) || (unfold(c) >= low && unfold(c) <= high)))) {
            found = true;
        }
    }
    valid = *p == ']';
    in = found != negate;
    return valid ? p + 1 : p;
}

}  // namespace

bool wildcard_match(const char* pattern, const char* name, bool ignore_case)
{
    const char* p = pattern;
    const char* s = name;
    const char* star = nullptr;  // the pattern just past the last '*'
    const char* resume = nullptr;  // where that '*' goes on matching the name
    while (*s) {
        bool advanced = false;
        if (*p == '*') {
            while (*p == '*') ++p;
            star = p;
            resume = s;
            continue;
        }
        if (*p == '?') {
            ++p;
            advanced = true;
        } else if (*p == '[') {
            bool in = false, valid = false;
            const char* after = match_bracket(p + 1, static_cast<unsigned char>(*s), ignore_case, in, valid);
            if (!valid) {
                advanced = *s == '[';
                if (advanced) ++p;
            } else if (in) {
                p = after;
                advanced = true;
            }
        } else {
            const char* literal = p;
            if (*literal == '\\' && literal[1]) ++literal;
            const auto a = static_cast<unsigned char>(*literal), b = static_cast<unsigned char>(*s);
            if (a && (a == b || (ignore_case && fold(a) == fold(b)))) {
                p = literal + 1;
                advanced = true;
            }
        }
        if (advanced) {
            ++s;
        } else if (star) {
            p = star;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0';
}
