// list_entries ARCHIVE: every entry of a TEX archive, one line each: its
// index, stored name, size in pixels and payload bytes, then the problems
// found in it, each by its stable name and in words. The archive's own
// problems come first. Built on the installed library alone:
//   c++ -std=c++20 list_entries.cpp $(pkg-config --cflags --libs morvex_tex)
#include <cstdio>

#include <morvex_tex/morvex_tex.hpp>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: list_entries ARCHIVE\n");
        return 2;
    }
    try {
        const morvex_tex::archive archive = morvex_tex::archive::open(argv[1]);
        for (const morvex_tex::finding& f : archive.findings()) {
            std::printf("archive: %s: %s\n", std::string(f.name()).c_str(), f.text().c_str());
        }
        for (std::uint32_t i = 0; i < archive.size(); ++i) {
            const morvex_tex::entry e = archive.at(i);
            const std::string name = e.readable() ? std::string(e.name()) : "-";
            std::printf("%u %s %ux%u %u bytes\n", i, name.c_str(), e.info.width, e.info.height, e.info.payload_size);
            for (const morvex_tex::finding& f : e.findings) {
                std::printf("  %s: %s\n", std::string(f.name()).c_str(), f.text().c_str());
            }
        }
    } catch (const morvex_tex::error& e) {
        std::fprintf(stderr, "list_entries: %s (%s)\n", e.what(), e.kind_name());
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
