// Start-up and command line of the extractor.
#include "app/app.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <memory>

#include <sys/stat.h>

#include "extract/extract.hpp"
#include "morvex/version.hpp"
#include "tex/tex.hpp"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool ascii_iequal(const char* a, const char* b)
{
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    for (; *a && *b; ++a, ++b) {
        if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

std::uint64_t file_size(std::FILE* f)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

int extractor_main(int argc, char** argv)
{
    std::printf("morvex_tex_extractor %s - TEX texture archive extractor\n\n", morvex_version);
    if (argc < 2) {
        std::printf("syntaxe : morvex_tex_extractor.exe \"<file.pak>\" [-no-convert]\n");
        return -1;
    }
    if (argc == 3 && ascii_iequal(argv[2], "-no-convert")) no_convert = true;

    std::unique_ptr<std::FILE, file_closer> file(std::fopen(argv[1], "rb"));
    if (!file) {
        std::printf("can't open %s\n", argv[1]);
        return -1;
    }
    const tex_archive archive{file.get(), file_size(file.get())};

    std::array<std::uint8_t, tex_leading_size> leading{};
    const std::size_t got = tex_read_block(archive.file, leading);
    std::printf("file      : %s\n\n", argv[1]);
    // The signature as text up to a zero byte, control bytes escaped like names.
    const auto* sig = reinterpret_cast<const char*>(leading.data());
    std::printf("signature : %s\n", tex_printable_name(std::string(sig, strnlen(sig, 3))).c_str());
    std::printf("version   : %i\n\n", leading[3]);
    if (got < leading.size()) {
        std::printf("ERROR : the archive holds only %zu bytes, fewer than its 4-byte signature and version\n", got);
    }
    if (!tex_signature_matches(leading) || leading[3] != tex_version) {
        std::printf("don't know how to decode (signature and/or version not suported\n");
        return 0;
    }
    if (start_image_library() != 0) {
        std::printf("ERROR : the graphics library can't start: no image can be made\n");
    }
    tex_decode(archive, tex_extractors{extract_type4, extract_type6});
    return 0;
}
