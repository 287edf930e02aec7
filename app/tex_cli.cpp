// What morvex_tex's subcommands share: opening, the findings in words, JSON
// strings and the command-line scanner.
#include "app/tex_cli.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

using u64 = unsigned long long;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char buf[256];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(buf, std::min(static_cast<std::size_t>(n), sizeof buf - 1));
}

// The length of the valid UTF-8 sequence at s[at], or 0: no overlong forms,
// no surrogates, nothing past U+10FFFF.
std::size_t utf8_length(const std::string& s, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(at);
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (at + n > s.size()) return 0;
    if (byte(at + 1) < lo || byte(at + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (byte(at + k) < 0x80 || byte(at + k) > 0xBF) return 0;
    }
    return n;
}

}  // namespace

void tex_cli_error(const char* fmt, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", tex_cli_program);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

int tex_cli_open(const char* path, tex_cli_archive& out)
{
    out.path = path;
    if (tex_open_archive(path, out.file) != 0) {
        tex_cli_error("%s: %s", tex_printable_name(path).c_str(), std::strerror(errno));
        return -1;
    }
    out.ordered = tex_open_index(out.file.fd, out.file.size, out.index) == 0;
    if (!out.index.recognised) {
        tex_cli_error("%s: not a TEX version 3 archive", tex_printable_name(path).c_str());
        return -1;
    }
    if (!out.ordered) {
        tex_cli_error("%s: can't hold the order of %u table records in memory", tex_printable_name(path).c_str(),
                      out.index.count);
        return -1;
    }
    return 0;
}

std::vector<std::string> tex_archive_problems(const tex_cli_archive& archive)
{
    std::vector<std::string> out;
    const tex_index& index = archive.index;
    if (archive.file.cut_at_limit) {
        out.push_back(format("goes on past the %llu bytes an archive can address", static_cast<u64>(tex_max_archive_size)));
    }
    if (index.header_cut) {
        out.push_back(format("header cut short: %llu of %zu bytes", static_cast<u64>(index.size), tex_header_size));
    }
    if (!index.padding_zero) out.push_back("header padding not zero");
    if (index.table_cut) {
        out.push_back(format("table cut short: %u of %u records", index.count, index.header.file_count));
    }
    return out;
}

std::vector<std::string> tex_entry_problems(const tex_entry_view& v)
{
    std::vector<std::string> out;
    if (v.state == tex_entry_state::past_end) {
        out.push_back(format("header at 0x%08X lies past the end of the archive", v.record.offset));
        return out;
    }
    if (v.state == tex_entry_state::header_cut) {
        out.push_back(format("header cut short: %zu of %zu bytes", v.header_got, tex_entry_header_size));
        return out;
    }
    const tex_entry_header& h = v.header;
    if (!v.padding_zero) out.push_back("padding not zero");
    if (!v.sizes_agree) out.push_back(format("table size %u differs from rep_c_sz %u", v.record.compressed_size, h.rep_c_sz));
    if (!v.types_agree) out.push_back(format("table type %u differs from rep_t_id %u", v.record.type_id, h.rep_t_id));
    if (h.rep_t_id != 4 && h.rep_t_id != 6) out.push_back(format("unknown type %u", h.rep_t_id));
    if (v.payload_past_end) {
        out.push_back("payload runs past the end of the archive");
    } else if (v.covers) {
        out.push_back(format("payload runs over the header of entry %u", *v.covers));
    }
    if (v.repeat_of) {
        out.push_back(v.repeat_size_differs
                          ? format("points at the header of entry %u with another payload size (%u, not %u)",
                                   *v.repeat_of, v.record.compressed_size, v.repeat_size)
                          : format("points at the header of entry %u", *v.repeat_of));
    }
    if (v.index > 0) {
        if (const char* reason = output_name_problem(tex_entry_name(h))) out.push_back(format("name refused: %s", reason));
    }
    return out;
}

bool tex_entry_runs(const tex_entry_view& v)
{
    if (v.index == 0 || v.state != tex_entry_state::ok) return false;
    if (v.header.rep_t_id != 4 && v.header.rep_t_id != 6) return false;
    if (v.repeat_of) return false;
    // A payload past the end is the job's to report, as the extractor does.
    return !v.covers || v.payload_past_end;
}

extract_request tex_entry_request(const tex_index& index, const tex_entry_view& v)
{
    extract_request r;
    r.archive_fd = index.fd;
    r.archive_size = index.size;
    r.payload_offset = v.payload_offset;
    r.payload_len = v.record.compressed_size;
    r.width = v.header.width;
    r.height = v.header.height;
    r.type = v.header.rep_t_id;
    r.name = tex_entry_name(v.header);
    r.output_name = r.name;
    return r;
}

std::vector<std::string> tex_job_problems(const std::string& lines)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at < lines.size();) {
        std::size_t end = lines.find('\n', at);
        if (end == std::string::npos) end = lines.size();
        std::string line = lines.substr(at, end - at);
        at = end + 1;
        const bool continued = !line.empty() && line[0] == ' ';
        line.erase(0, line.find_first_not_of(' '));
        for (const char* prefix : {"ERROR : ", "ERROR, ", "ERROR: "}) {
            if (line.rfind(prefix, 0) == 0) line.erase(0, std::strlen(prefix));
        }
        if (line.empty()) continue;
        if (continued && !out.empty()) {
            out.back() += " (" + line + ")";
        } else {
            out.push_back(line);
        }
    }
    return out;
}

std::string tex_json_string(const std::string& s)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < s.size();) {
        const auto c = static_cast<unsigned char>(s[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++at;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++at;
        } else if (const std::size_t n = c >= 0x80 ? utf8_length(s, at) : 0; n > 0) {
            out.append(s, at, n);
            at += n;
        } else {
            out += format("\\u%04x", c);
            ++at;
        }
    }
    return out + "\"";
}

std::string tex_cli_next_option(tex_cli_args& args)
{
    args.has_value = false;
    while (args.at < args.argc) {
        const std::string a = args.argv[args.at++];
        if (args.only_operands || a.size() < 2 || a[0] != '-') {
            args.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            args.only_operands = true;
            continue;
        }
        if (a[1] == '-') {
            const std::size_t eq = a.find('=');
            if (eq == std::string::npos) return a;
            args.has_value = true;
            args.value = a.substr(eq + 1);
            return a.substr(0, eq);
        }
        if (a.size() > 2) {  // "-j3", "-Cdir"
            args.has_value = true;
            args.value = a.substr(2);
        }
        return a.substr(0, 2);
    }
    return "";
}

bool tex_cli_value(tex_cli_args& args, const std::string& option, std::string& value)
{
    if (args.has_value) {
        value = args.value;
        return true;
    }
    if (args.at >= args.argc) {
        tex_cli_error("option %s needs a value", option.c_str());
        return false;
    }
    value = args.argv[args.at++];
    return true;
}

bool tex_cli_flag(const tex_cli_args& args, const std::string& option)
{
    if (!args.has_value) return true;
    tex_cli_error("option %s takes no value", option.c_str());
    return false;
}

long tex_cli_count(const std::string& text, long max)
{
    if (text.empty() || text.size() > 9) return -1;
    long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= max ? n : -1;
}
