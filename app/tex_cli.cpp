// What morvex_tex's subcommands share: opening, the findings in words, JSON
// strings and the command-line scanner.
#include "app/tex_cli.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
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
    return finding_texts(tex_archive_findings(archive.index, archive.file.cut_at_limit));
}

std::vector<tex_finding> tex_entry_problems(const tex_index& index, const tex_entry_view& v, entry_walk& walk)
{
    std::vector<tex_finding> found = tex_entry_findings(index, v);
    const entry_plan plan = decide_entry(index, v, entry_options{}, walk);
    if (plan.step == entry_step::refuse) add_findings(found, {plan.why});
    return found;
}

int tex_cli_workers(const char* command, const std::string& value, bool given, bool raw)
{
    if (given) {
        const long n = tex_cli_count(value, max_workers);
        if (n > 0) return static_cast<int>(n);
        tex_cli_error("%s: -j takes a number from 1 to %u, not %s", command, max_workers, tex_printable_name(value).c_str());
        return -1;
    }
    if (extract_workers_setting() < 0) {
        tex_cli_error("%s: MORVEX_TEX_JOBS takes a number from 1 to %u, not %s", command, max_workers,
                      tex_printable_name(std::getenv("MORVEX_TEX_JOBS")).c_str());
        return -1;
    }
    return static_cast<int>(extract_workers(raw));
}

bool tex_cli_flush_output(const char* command)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    const int error = errno ? errno : EIO;
    tex_cli_error("%s: can't write to standard output: %s", command, std::strerror(error));
    return false;
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
            // The C1 controls (U+0080 to U+009F) escaped too: a terminal
            // showing the JSON may obey them.
            const auto second = static_cast<unsigned char>(s[at + 1]);
            if (c == 0xC2 && second <= 0x9F) {
                out += format("\\u%04x", second);
            } else {
                out.append(s, at, n);
            }
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
        args.argument = a;
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
        tex_cli_error("option %s needs a value", tex_printable_name(option).c_str());
        return false;
    }
    value = args.argv[args.at++];
    return true;
}

bool tex_cli_flag(const tex_cli_args& args, const std::string& option)
{
    if (!args.has_value) return true;
    tex_cli_error("option %s takes no value", tex_printable_name(option).c_str());
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
