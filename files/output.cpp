// The output layer: every file the project writes is placed here, beneath a
// root folder held open for the whole run, or (an archive the packer makes)
// under a path the user gave. What depends on the system is in
// output_posix.cpp and output_windows.cpp, one of which is built; this file
// holds what both share.
#include "files/files.hpp"
#include "files/output_system.hpp"

#include <cctype>
#include <string_view>

output_test_knobs output_test;

bool output_holds_kind(std::span<const std::uint8_t> leading, output_kind kind)
{
    if (leading.empty()) return true;
    if (kind == output_kind::archive) {
        return leading.size() >= tex_leading_size && tex_signature_matches(leading) && leading[3] == tex_version;
    }
    // A page: its doctype or its root element first, after a byte order mark
    // and white space, in any letter case.
    std::size_t at = leading.size() >= 3 && leading[0] == 0xEF && leading[1] == 0xBB && leading[2] == 0xBF ? 3 : 0;
    while (at < leading.size() && (leading[at] == ' ' || leading[at] == '\t' || leading[at] == '\r' || leading[at] == '\n')) {
        ++at;
    }
    const auto starts = [&](std::string_view word) {
        if (leading.size() - at < word.size()) return false;
        for (std::size_t k = 0; k < word.size(); ++k) {
            if (std::tolower(leading[at + k]) != word[k]) return false;
        }
        return true;
    };
    return starts("<!doctype html") || starts("<html");
}

output_file::output_file(output_file&& other) noexcept
    : dir_fd(other.dir_fd), owns_dir(other.owns_dir), fd(other.fd), base(std::move(other.base)),
      temporary(std::move(other.temporary)), slot(other.slot), missing(std::move(other.missing)),
      stream_fd(other.stream_fd)
{
    other.dir_fd = other.fd = other.slot = -1;
    other.temporary.clear();
    other.missing.clear();
}

output_file& output_file::operator=(output_file&& other) noexcept
{
    if (this != &other) {
        output_drop(*this);
        dir_fd = other.dir_fd;
        owns_dir = other.owns_dir;
        fd = other.fd;
        base = std::move(other.base);
        temporary = std::move(other.temporary);
        slot = other.slot;
        missing = std::move(other.missing);
        stream_fd = other.stream_fd;
        other.dir_fd = other.fd = other.slot = -1;
        other.temporary.clear();
        other.missing.clear();
    }
    return *this;
}

output_file::~output_file()
{
    output_drop(*this);
}
