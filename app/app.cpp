// Start-up and command line of the extractor.
#include "words/escape.hpp"
#include "app/app.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>


#include "morvex/version.hpp"

namespace {

using u64 = unsigned long long;

bool ascii_iequal(const char* a, const char* b)
{
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    for (; *a && *b; ++a, ++b) {
        if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

int run(int argc, char** argv)
{
    std::printf("morvex_tex_extractor %s - TEX texture archive extractor\n\n", morvex_version);
    if (argc < 2) {
        std::printf("syntaxe : morvex_tex_extractor.exe \"<file.pak>\" [-no-convert]\n");
        return -1;
    }
    // Only a second argument and nothing after it: with more, all are ignored.
    const bool no_convert = argc == 3 && ascii_iequal(argv[2], "-no-convert");
    if (argc > 2 && !no_convert) {
        // Scripts may rely on converting all the same; a mistyped flag is
        // said where the report isn't.
        std::string ignored;
        for (int k = 2; k < argc; ++k) {
            if (k > 2) ignored.push_back(' ');
            ignored.append(tex_printable_name(argv[k]));
        }
        std::fprintf(stderr, "morvex_tex_extractor: ignored %s: entries are converted (only -no-convert, alone after "
                             "the archive, writes them as stored)\n", ignored.c_str());
    }

    tex_archive_file file;
    if (tex_open_archive(argv[1], file) != 0) {
        std::printf("can't open %s\n", tex_printable_name(argv[1]).c_str());
        return -1;
    }
    tex_index index;
    const bool ordered = tex_open_index(file.fd, file.size, index) == 0;

    // The path as given, but for what would drive a terminal.
    std::printf("file      : %s\n\n", tex_printable_name(argv[1]).c_str());
    // The signature as text up to a zero byte, control bytes escaped like names.
    const auto* sig = reinterpret_cast<const char*>(index.leading.data());
    std::printf("signature : %s\n", tex_printable_name(std::string(sig, strnlen(sig, 3))).c_str());
    std::printf("version   : %i\n\n", index.leading[3]);
    if (file.cut_at_limit) {
        std::printf("ERROR : the archive goes on past the %llu bytes an archive can address: only those are read\n",
                    static_cast<u64>(tex_max_archive_size));
    }
    if (index.leading_got < index.leading.size()) {
        std::printf("ERROR : the archive holds only %zu bytes, fewer than its 4-byte signature and version\n",
                    index.leading_got);
    }
    if (!index.recognised) {
        std::printf("don't know how to decode (signature and/or version not suported\n");
        return 0;
    }
    // Names that hold folders get them, made beneath the current folder as
    // their files are placed (what `create FOLDER` stores comes back out).
    output_root root;
    if (output_open_root(".", true, root) != 0) {
        std::printf("ERROR : can't open the current folder: nothing can be written\n");
    }
    report_archive(index, ordered, root, no_convert);
    output_close_root(root);
    return 0;
}

}  // namespace

// A report that could not be written whole is a failure, whatever the walk
// found: the status says so, and one line on standard error says why.
int extractor_main(int argc, char** argv)
{
    const int status = run(argc, argv);
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (!flushed || std::ferror(stdout)) {
        // An earlier write's reason is gone once later ones went through.
        std::clearerr(stdout);
        std::fprintf(stderr, "morvex_tex_extractor: can't write the report: %s\n",
                     flushed ? "a write to standard output failed" : std::strerror(error));
        return -1;
    }
    return status;
}
