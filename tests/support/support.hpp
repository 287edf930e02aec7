// Test support: temporary folders, running the built tools, reading files and
// decoding the images they write with readers independent of the tool's own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "morvex/version.hpp"
#include "format/format.hpp"
#include "format/writer.hpp"

namespace test {

// A fresh empty folder, removed with everything in it at the end of the scope.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct run_result {
    int status = -1;   // exit status, or 128 + signal
    std::string out;   // standard output
    std::string err;   // standard error
    long peak_kib = 0; // the most memory it held at once
};

// True in builds with a sanitizer, whose memory is not the program's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// Runs `program` with `args` in folder `cwd`, with no display unless `env`
// ("NAME=value" each) sets one, and waits.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::filesystem::path& cwd, const std::vector<std::string>& env = {});

// The same with a terminal of `columns` columns as its standard input,
// output and error: what the terminal received, in `out`.
run_result run_in_terminal(const std::string& program, const std::vector<std::string>& args,
                           const std::filesystem::path& cwd, unsigned short columns,
                           const std::vector<std::string>& env = {});

// A program on a terminal of `columns` columns, driven as a person would
// drive it: each step's input is written, then what the terminal shows is
// read until the step's `wait_for` appears in it (not waited for when
// empty). Once the steps are done, or when the waits have taken `limit`
// seconds in all, the program is killed. What each step showed, in `shown`;
// `finished`: every wait ended with its text.
struct terminal_step {
    std::string input;
    std::string wait_for;
};
struct terminal_session {
    std::vector<std::string> shown;
    bool finished = false;
};
terminal_session drive_terminal(const std::string& program, const std::vector<std::string>& args,
                                const std::filesystem::path& cwd, unsigned short columns,
                                const std::vector<terminal_step>& steps, int limit);

// The built extractor, run in `cwd` on `args`.
run_result run_extractor(const std::vector<std::string>& args, const std::filesystem::path& cwd);

// The banner the extractor prints first on every run.
inline const std::string banner =
    std::string("morvex_tex_extractor ") + morvex_version + " - TEX texture archive extractor\n\n";

std::vector<std::uint8_t> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// An archive of a placeholder first entry named "index" (the extractor never
// writes an archive's first entry) followed by `entries`.
tex_writer_archive archive_of(std::vector<tex_writer_entry> entries);

// Writes the archive into `dir` as `name` and returns its path.
std::filesystem::path write_archive(const temp_dir& dir, const std::string& name, const tex_writer_archive& a);

// A decoded image: pixels as 0xAARRGGBB, row 0 at the top.
struct rgba_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> argb;
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return argb[std::size_t{y} * width + x]; }
};

// Uncompressed 32-bit TGA, parsed here byte by byte; throws on anything else.
rgba_image read_tga(const std::filesystem::path& path);
// PNG through libpng, expanded to 8-bit RGBA.
rgba_image read_png(const std::filesystem::path& path);
// Writes the image as an 8-bit RGBA PNG through libpng.
void save_png(const std::filesystem::path& path, const rgba_image& image);

// Names of the files in a folder, sorted.
std::vector<std::string> list_dir(const std::filesystem::path& dir);

}  // namespace test
