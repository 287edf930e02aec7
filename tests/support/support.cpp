#include "support/support.hpp"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <png.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

namespace fs = std::filesystem;

temp_dir::temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "morvex-test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

namespace {

std::string slurp_and_remove(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::error_code ec;
    fs::remove(p, ec);
    return s;
}

}  // namespace

run_result run_program(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                       const std::vector<std::string>& env)
{
    // Output goes to files outside cwd, so the folder holds only what the tool wrote.
    temp_dir capture;
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        unsetenv("DISPLAY");
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    struct rusage usage {};
    while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    run_result r;
    r.peak_kib = usage.ru_maxrss;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = slurp_and_remove(out_path);
    r.err = slurp_and_remove(err_path);
    return r;
}

run_result run_in_terminal(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                           unsigned short columns, const std::vector<std::string>& env)
{
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    run_result r;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            r.out.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the program has ended and closed the terminal
        }
    }
    close(master);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return r;
}

run_result run_extractor(const std::vector<std::string>& args, const fs::path& cwd)
{
    return run_program(MORVEX_EXTRACTOR_PATH, args, cwd);
}

std::vector<std::uint8_t> read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("can't read " + path.string());
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("can't write " + path.string());
}

tex_writer_archive archive_of(std::vector<tex_writer_entry> entries)
{
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    for (auto& e : entries) a.entries.push_back(std::move(e));
    return a;
}

fs::path write_archive(const temp_dir& dir, const std::string& name, const tex_writer_archive& a)
{
    const fs::path p = dir / name;
    if (tex_write_archive(p.c_str(), a) != 0) throw std::runtime_error("can't write archive " + p.string());
    return p;
}

rgba_image read_tga(const fs::path& path)
{
    const std::vector<std::uint8_t> f = read_file(path);
    if (f.size() < 18) throw std::runtime_error("TGA too short");
    const std::size_t id_len = f[0];
    if (f[1] != 0 || f[2] != 2 || f[16] != 32) throw std::runtime_error("not an uncompressed 32-bit TGA");
    rgba_image img;
    img.width = static_cast<std::uint32_t>(f[12] | f[13] << 8);
    img.height = static_cast<std::uint32_t>(f[14] | f[15] << 8);
    const bool top_down = (f[17] & 0x20) != 0;
    const std::size_t start = 18 + id_len;
    if (f.size() < start + std::size_t{img.width} * img.height * 4) throw std::runtime_error("TGA pixels cut short");
    img.argb.resize(std::size_t{img.width} * img.height);
    for (std::uint32_t row = 0; row < img.height; ++row) {
        const std::uint32_t y = top_down ? row : img.height - 1 - row;
        for (std::uint32_t x = 0; x < img.width; ++x) {
            const std::uint8_t* p = &f[start + (std::size_t{row} * img.width + x) * 4];  // B G R A
            img.argb[std::size_t{y} * img.width + x] = std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                                        std::uint32_t{p[1]} << 8 | p[0];
        }
    }
    return img;
}

rgba_image read_png(const fs::path& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) throw std::runtime_error(image.message);
    image.format = PNG_FORMAT_BGRA;  // bytes B G R A: a little-endian 0xAARRGGBB
    std::vector<std::uint32_t> px(std::size_t{image.width} * image.height);
    if (!png_image_finish_read(&image, nullptr, px.data(), 0, nullptr)) throw std::runtime_error(image.message);
    rgba_image img;
    img.width = image.width;
    img.height = image.height;
    img.argb = std::move(px);
    return img;
}

std::vector<std::string> list_dir(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace test
