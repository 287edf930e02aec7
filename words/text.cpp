// Printf-style text for the presentations.
#include "words/words.hpp"

#include <cstdarg>
#include <cstdio>

namespace {

void append_formatted(std::string& out, const char* format, va_list args)
{
    char buf[512];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<std::size_t>(n));
    } else if (n >= 0) {
        std::string big(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), format, again);
        big.pop_back();
        out += big;
    }
    va_end(again);
}

}  // namespace

void add_line(std::string& lines, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    append_formatted(lines, format, args);
    va_end(args);
}

std::string format_text(const char* format, ...)
{
    std::string out;
    va_list args;
    va_start(args, format);
    append_formatted(out, format, args);
    va_end(args);
    return out;
}


std::string counted(std::uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
