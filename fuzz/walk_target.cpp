// Fuzz target: the extractor's whole run on one input taken as an archive,
// extraction included, converted and then raw, inside a private temporary
// folder that is emptied after each run. Besides the sanitizers, it aborts when
// a run leaves a temporary file behind or writes beside its output folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "app/app.hpp"
#include "extract/extract.hpp"

namespace {

namespace fs = std::filesystem;

// root/archive is the input; entries are extracted into root/out.
struct workspace {
    fs::path root, archive, out;
    workspace()
    {
        std::string pattern = (fs::temp_directory_path() / "morvex-fuzz.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        root = pattern;
        archive = root / "archive";
        out = root / "out";
        fs::create_directory(out);
    }
    ~workspace()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// Empties the output folder; aborts on what a run must never leave.
void check_and_empty(const workspace& w)
{
    for (const auto& e : fs::directory_iterator(w.root)) {
        if (e.path() != w.archive && e.path() != w.out) std::abort();  // written beside the output folder
    }
    // Temporary files are named ".~PID~" and the final name.
    const std::string temporary = ".~" + std::to_string(getpid()) + "~";
    for (const auto& e : fs::directory_iterator(w.out)) {
        if (e.path().filename().string().rfind(temporary, 0) == 0) std::abort();  // left behind
        fs::remove_all(e.path());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const workspace w;
    std::FILE* f = std::fopen(w.archive.c_str(), "wb");
    if (!f || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();

    std::string program = "morvex_tex_extractor", path = w.archive.string(), flag = "-no-convert";
    for (const int argc : {2, 3}) {
        char* argv[] = {program.data(), path.data(), flag.data(), nullptr};
        const fs::path cwd = fs::current_path();
        fs::current_path(w.out);
        no_convert = false;
        extractor_main(argc, argv);
        std::fflush(stdout);
        fs::current_path(cwd);
        check_and_empty(w);
    }
    return 0;
}
