// The output layer: files placed beneath the root only, never through
// anything already in the folder, never partial, and nothing left behind
// when the run is interrupted; and the system primitives it stands on.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app.hpp"
#include "app/platform.hpp"
#include "entries/entries.hpp"
#include "files/output_system.hpp"
#include "format/writer.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

// Resets the knobs whatever the test did.
struct knobs_reset {
    ~knobs_reset() { output_test = output_test_knobs{}; }
};

// Places `bytes` under `name` beneath `root_path`; the outcome of each step.
struct placed {
    output_error begun = output_error::none;
    name_problem reason = name_problem::none;
    int committed = -1;
};

placed place(const fs::path& root_path, const std::string& name, const std::vector<std::uint8_t>& bytes,
             bool create = false)
{
    placed p;
    output_root root;
    if (output_open_root(root_path.c_str(), create, root) != 0) return p;
    output_file f;
    p.begun = output_begin(root, name, f, p.reason);
    if (p.begun == output_error::none && write(f.fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
        p.committed = output_commit(f);
    }
    output_close_root(root);
    return p;
}

const std::vector<std::uint8_t> content{'n', 'e', 'w'};

// Names the layer would pick, planted in advance: links leading out, FIFOs.
std::vector<std::string> planted_names;
std::size_t next_planted = 0;
std::string planted_then_fresh()
{
    return next_planted < planted_names.size() ? planted_names[next_planted++] : ".morvex-fresh-" + std::to_string(next_planted++);
}

TEST(OutputFiles, NothingAlreadyInTheFolderIsFollowedOrReused)
{
    for (const bool named_only : {false, true}) {
        knobs_reset reset;
        temp_dir top;
        const fs::path root = top / "root";
        fs::create_directory(root);
        const fs::path outside = top / "outside";
        test::write_file(outside, {'o', 'l', 'd'});
        planted_names = {".morvex-a", ".morvex-b", ".morvex-c"};
        next_planted = 0;
        fs::create_symlink(outside, root / ".morvex-a");
        ASSERT_EQ(mkfifo((root / ".morvex-b").c_str(), 0600), 0);
        fs::create_symlink(top / "missing", root / ".morvex-c");  // a dangling link
        fs::create_symlink(outside, root / "x.tga");               // the output's own name
        output_test.next_temporary_name = planted_then_fresh;
        output_test.named_files_only = named_only;

        const placed p = place(root, "x.tga", content);
        EXPECT_EQ(p.begun, output_error::none);
        EXPECT_EQ(p.committed, 0) << "named only: " << named_only;
        EXPECT_EQ(test::read_file(outside), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
        EXPECT_FALSE(fs::is_symlink(root / "x.tga"));
        EXPECT_EQ(test::read_file(root / "x.tga"), content);
        // The planted names are left as they were, and nothing else remains.
        EXPECT_TRUE(fs::is_symlink(root / ".morvex-a"));
        EXPECT_TRUE(fs::is_fifo(root / ".morvex-b"));
        EXPECT_EQ(test::list_dir(root), (std::vector<std::string>{".morvex-a", ".morvex-b", ".morvex-c", "x.tga"}));
    }
}

// Swaps the output's folder for a link to an outside folder at the worst
// moment: after it was resolved, before anything is written.
fs::path swap_folder, swap_target;
void swap_for_outside_link(const std::string&)
{
    fs::rename(swap_folder, swap_folder.string() + "-moved");
    fs::create_directory_symlink(swap_target, swap_folder);
}

TEST(OutputFiles, AFolderSwappedForALinkAfterTheCheckIsNotFollowed)
{
    for (const bool walk_only : {false, true}) {
        knobs_reset reset;
        temp_dir top;
        const fs::path root = top / "root";
        fs::create_directories(root / "sub");
        fs::create_directory(top / "elsewhere");
        swap_folder = root / "sub";
        swap_target = top / "elsewhere";
        output_test.after_create = swap_for_outside_link;
        output_test.walk_only = walk_only;
        const placed p = place(root, "sub/x.tga", content);
        EXPECT_EQ(p.committed, 0);
        EXPECT_TRUE(test::list_dir(top / "elsewhere").empty()) << "walk only: " << walk_only;
        EXPECT_EQ(test::read_file(root / "sub-moved" / "x.tga"), content);
    }
}

TEST(OutputFiles, FolderLinksStayingInsideWorkAndOthersAreRefused)
{
    temp_dir top;
    const fs::path root = top / "root";
    fs::create_directories(root / "real" / "deep");
    fs::create_directory(top / "elsewhere");
    fs::create_directory_symlink("real", root / "rel");                 // relative, inside
    fs::create_directory_symlink(root / "real", root / "abs");          // absolute, inside
    fs::create_directory_symlink("../../real", root / "real" / "deep" / "up");  // climbs, stays inside
    fs::create_directory_symlink("../elsewhere", root / "out");         // relative, leads out
    fs::create_directory_symlink(top / "elsewhere", root / "absout");   // absolute, leads out
    fs::create_directory_symlink("../../..", root / "real" / "climb");  // climbs past the root
    struct expectation {
        const char* name;
        bool placed;
    };
    const expectation cases[] = {{"rel/a.tga", true},       {"abs/b.tga", true},  {"real/deep/up/c.tga", true},
                                 {"out/d.tga", false},      {"absout/e.tga", false}, {"real/climb/f.tga", false},
                                 {"missing/g.tga", false}};
    for (const bool walk_only : {false, true}) {
        knobs_reset reset;
        output_test.walk_only = walk_only;
        for (const expectation& c : cases) {
            const placed p = place(root, c.name, content);
            EXPECT_EQ(p.committed == 0, c.placed) << c.name << ", walk only: " << walk_only;
            const bool refused = p.begun == output_error::refused;
            EXPECT_EQ(refused, !c.placed && std::string(c.name) != "missing/g.tga") << c.name;
        }
        EXPECT_TRUE(test::list_dir(top / "elsewhere").empty());
        EXPECT_EQ(test::list_dir(root / "real"), (std::vector<std::string>{"a.tga", "b.tga", "c.tga", "climb", "deep"}));
        for (const char* f : {"a.tga", "b.tga", "c.tga"}) fs::remove(root / "real" / f);
    }
}

TEST(OutputFiles, FoldersAreMadeBeneathTheRootOnlyWhenAsked)
{
    temp_dir top;
    const fs::path root = top / "root";
    fs::create_directory(top / "elsewhere");
    fs::create_directories(root);
    fs::create_directory_symlink(top / "elsewhere", root / "out");
    EXPECT_EQ(place(root, "new/x.tga", content).begun, output_error::failed);
    EXPECT_FALSE(fs::exists(root / "new"));
    EXPECT_EQ(place(root, "new/deeper/x.tga", content, true).committed, 0);
    EXPECT_EQ(test::read_file(root / "new" / "deeper" / "x.tga"), content);
    EXPECT_EQ(place(root, "out/made/x.tga", content, true).begun, output_error::refused);
    EXPECT_TRUE(test::list_dir(top / "elsewhere").empty());
}

// The extractor's whole run in a child process that interrupts itself with
// `sig` once big.tga's file is made, before any of it is written.
int interrupted_run(const fs::path& dir, int sig, bool named_only)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(99);
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(98);
        static int signal_to_raise = 0;
        signal_to_raise = sig;
        app_catch_interrupts();
        output_test.named_files_only = named_only;
        output_test.after_create = [](const std::string& name) {
            if (name != "big.tga") return;
            // With workers, first.tga is placed by the main thread meanwhile.
            for (int k = 0; k < 500 && access("first.tga", F_OK) != 0; ++k) usleep(10000);
            std::raise(signal_to_raise);
        };
        std::string program = "morvex_tex_extractor", archive = "a.pak";
        char* argv[] = {program.data(), archive.data(), nullptr};
        _exit(extractor_main(2, argv) == 0 ? 0 : 97);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

TEST(OutputFiles, AnInterruptedRunLeavesNoTemporaryFile)
{
    std::vector<std::uint32_t> big(512 * 512, 0x80402010u);
    std::vector<std::uint32_t> small(4, 0xFF00FF00u);
    tex_writer_archive a;
    a.entries = {tex_placeholder_entry("index"), tex_type6_entry("first.tga", 2, 2, small),
                 tex_type6_entry("big.tga", 512, 512, big), tex_type6_entry("last.tga", 2, 2, small)};
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        for (const bool named_only : {false, true}) {
            temp_dir dir;
            test::write_archive(dir, "a.pak", a);
            test::write_file(dir / "big.tga", {'o', 'l', 'd'});
            EXPECT_EQ(interrupted_run(dir.path(), sig, named_only), sig);
            // The earlier output is complete, the interrupted one as it was.
            EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"a.pak", "big.tga", "first.tga"}))
                << "signal " << sig << ", named only: " << named_only;
            EXPECT_EQ(test::read_tga(dir / "first.tga").at(1, 1), 0xFF00FF00u);
            EXPECT_EQ(test::read_file(dir / "big.tga"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
        }
    }
}

// The library installs no handler: a program that links it finds every
// signal as it left it after writing outputs. The programs' own handlers
// take only the signals still at their default action.
extern "C" void own_handler(int) {}

TEST(OutputFiles, TheLibraryLeavesSignalsAloneAndTheProgramsTakeOnlyDefaultOnes)
{
    temp_dir dir;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGHUP, own_handler);
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        const auto handler = [](int sig) {
            struct sigaction sa {};
            sigaction(sig, nullptr, &sa);
            return sa.sa_handler;
        };
        const auto as_left = [&] {
            return handler(SIGHUP) == own_handler && handler(SIGPIPE) == SIG_IGN && handler(SIGTERM) == SIG_DFL &&
                   handler(SIGINT) == SIG_DFL;
        };
        // Files placed under a root, by a named path and to a stream.
        output_root root, stream;
        output_file file;
        name_problem why = name_problem::none;
        path_output named;
        path_refusal refused = path_refusal::none;
        if (output_open_root(dir.path().c_str(), false, root) != 0 ||
            output_begin(root, "a.tga", file, why) != output_error::none || output_commit(file, true) != 0 ||
            output_begin_path((dir / "b.pak").string(), output_policy{}, named, refused) != 0 ||
            output_commit_path(named) != 0) {
            _exit(99);
        }
        output_open_stream_root(1, stream);
        const bool left = as_left();
        app_catch_interrupts();
        const bool taken = handler(SIGHUP) == own_handler && handler(SIGPIPE) == SIG_IGN && handler(SIGTERM) != SIG_DFL &&
                           handler(SIGINT) != SIG_DFL;
        _exit((left ? 0 : 1) | (taken ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the library changed a signal's action, 2: the programs' handlers took "
                                         "another than the default ones, or not those";
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Never replacing, where asked not to; folders made only for placed files.

std::string taken_meanwhile;  // a name the before_place knob puts a file under
void take_the_name(const std::string& base)
{
    if (!taken_meanwhile.empty()) test::write_file(fs::path(taken_meanwhile) / base, {'r', 'a', 'c', 'e'});
}

TEST(OutputFiles, KeepNeverReplacesWhateverIsThereAndWhenever)
{
    struct already {
        const char* what;
        std::function<void(const fs::path& root)> plant;
        bool meanwhile = false;  // it appears after the file is made, before it is placed
    };
    const std::vector<already> cases = {
        {"nothing", [](const fs::path&) {}},
        {"a file", [](const fs::path& root) { test::write_file(root / "x.tga", {'o', 'l', 'd'}); }},
        {"a dangling link", [](const fs::path& root) { fs::create_symlink("nowhere", root / "x.tga"); }},
        {"a file made meanwhile", [](const fs::path&) {}, true},
    };
    for (const bool named_only : {false, true}) {
        for (const already& c : cases) {
            for (const bool replace : {false, true}) {
                knobs_reset reset;
                output_test.named_files_only = named_only;
                temp_dir top;
                c.plant(top.path());
                taken_meanwhile = c.meanwhile ? top.path().string() : "";
                output_test.before_place = take_the_name;
                output_root root;
                ASSERT_EQ(output_open_root(top.path().c_str(), false, root), 0);
                output_file f;
                name_problem why = name_problem::none;
                ASSERT_EQ(output_begin(root, "x.tga", f, why), output_error::none);
                ASSERT_EQ(write(f.fd, content.data(), content.size()), 3);
                const int rc = output_commit(f, replace);
                const int error = errno;
                output_close_root(root);
                const bool free = std::string(c.what) == "nothing";
                const std::string trace = std::string(c.what) + (replace ? ", replacing" : ", keeping") +
                                          (named_only ? ", named" : ", unnamed");
                EXPECT_EQ(rc == 0, free || replace) << trace;
                if (rc != 0) {
                    EXPECT_EQ(error, EEXIST) << trace;
                } else {
                    EXPECT_EQ(test::read_file(top / "x.tga"), content) << trace;
                }
                // Nothing else is left: no temporary file.
                EXPECT_EQ(test::list_dir(top.path()), std::vector<std::string>{"x.tga"}) << trace;
            }
        }
    }
    taken_meanwhile.clear();
}

TEST(OutputFiles, FoldersAreMadeOnlyForFilesThatArePlaced)
{
    for (const bool named_only : {false, true}) {
        knobs_reset reset;
        output_test.named_files_only = named_only;
        temp_dir top;
        fs::create_directory(top / "have");
        output_root root;
        ASSERT_EQ(output_open_root(top.path().c_str(), true, root), 0);
        name_problem why = name_problem::none;
        {
            // Begun, never placed (the entry failed): no folder.
            output_file dropped;
            ASSERT_EQ(output_begin(root, "have/new/deeper/x.tga", dropped, why), output_error::none);
        }
        EXPECT_EQ(test::list_dir(top / "have"), std::vector<std::string>{}) << named_only;
        // Placing fails (the name is taken, and not to be replaced): the
        // folders made for it are gone again.
        fs::create_directories(top / "race");
        output_file taken;
        ASSERT_EQ(output_begin(root, "have/made/x.tga", taken, why), output_error::none);
        taken_meanwhile = (top / "have" / "made").string();
        output_test.before_place = take_the_name;
        EXPECT_NE(output_commit(taken, false), 0);
        EXPECT_EQ(test::list_dir(top / "have" / "made"), std::vector<std::string>{"x.tga"});
        EXPECT_EQ(test::read_file(top / "have" / "made" / "x.tga"), (std::vector<std::uint8_t>{'r', 'a', 'c', 'e'}));
        taken_meanwhile.clear();
        output_test.before_place = nullptr;
        // Placed: every folder of its name, each inside the one before.
        output_file placed;
        ASSERT_EQ(output_begin(root, "have/./a/b/x.tga", placed, why), output_error::none);
        ASSERT_EQ(write(placed.fd, content.data(), content.size()), 3);
        EXPECT_EQ(output_commit(placed), 0);
        EXPECT_EQ(test::read_file(top / "have" / "a" / "b" / "x.tga"), content) << named_only;
        EXPECT_EQ(test::list_dir(top.path()), (std::vector<std::string>{"have", "race"}));
        output_close_root(root);
    }
}

// ---------------------------------------------------------------------------
// Archives written under a path the user names.

struct path_case {
    const char* what;
    const char* name;
    std::function<void(const fs::path& dir)> plant;
    bool force;
    path_refusal refused;  // none: written
    output_kind kind = output_kind::archive;
};

TEST(PathOutputs, WhatMayBeUnderTheName)
{
    const std::vector<std::uint8_t> archive = tex_build_archive(test::archive_of({}));
    const std::string html = "\xEF\xBB\xBF \n<!DOCTYPE HTML><title>p</title>";
    const auto plant = [](const char* name, const std::string& text) {
        return [name, text](const fs::path& d) { test::write_file(d / name, {text.begin(), text.end()}); };
    };
    const auto page = output_kind::page;
    // Every case has "in.pak" beside it: one of the run's inputs.
    const std::vector<path_case> cases = {
        {"nothing", "o.pak", [](const fs::path&) {}, false, path_refusal::none},
        {"an archive", "o.pak", [&](const fs::path& d) { test::write_file(d / "o.pak", archive); }, false, path_refusal::none},
        {"an empty file", "o.pak", [](const fs::path& d) { test::write_file(d / "o.pak", {}); }, false, path_refusal::none},
        {"another file", "o.pak", plant("o.pak", "mine"), false, path_refusal::other_kind},
        {"another file, forced", "o.pak", plant("o.pak", "m"), true, path_refusal::none},
        {"an image's name", "o.png", [](const fs::path&) {}, false, path_refusal::image_name},
        {"an image's name, forced", "o.PNG", [](const fs::path&) {}, true, path_refusal::none},
        {"a link out", "o.pak", [](const fs::path& d) { fs::create_symlink(d / "outside", d / "o.pak"); }, false,
         path_refusal::none},
        {"a folder", "o.pak", [](const fs::path& d) { fs::create_directory(d / "o.pak"); }, true, path_refusal::folder},
        {"a page over a page", "o.html", plant("o.html", html), false, path_refusal::none, page},
        {"a page over an empty file", "o.html", plant("o.html", ""), false, path_refusal::none, page},
        {"a page over text", "o.html", plant("o.html", "notes <html>"), false, path_refusal::other_kind, page},
        {"a page over an archive", "o.pak", [&](const fs::path& d) { test::write_file(d / "o.pak", archive); }, false,
         path_refusal::other_kind, page},
        {"a page over an archive, forced", "o.pak", [&](const fs::path& d) { test::write_file(d / "o.pak", archive); },
         true, path_refusal::none, page},
        {"an archive over a page", "o.pak", plant("o.pak", html), false, path_refusal::other_kind},
        {"a page under an image's name", "o.tga", [](const fs::path&) {}, false, path_refusal::image_name, page},
        {"the input", "in.pak", [](const fs::path&) {}, true, path_refusal::input},
        {"the input, as a page", "in.pak", [](const fs::path&) {}, true, path_refusal::input, page},
        {"another name of the input", "o.pak", [](const fs::path& d) { fs::create_hard_link(d / "in.pak", d / "o.pak"); },
         true, path_refusal::input},
        {"a link to the input", "o.pak", [](const fs::path& d) { fs::create_symlink("in.pak", d / "o.pak"); }, true,
         path_refusal::input},
    };
    for (const path_case& c : cases) {
        temp_dir dir;
        test::write_file(dir / "outside", {'o', 'u', 't'});
        test::write_file(dir / "in.pak", archive);
        c.plant(dir.path());
        output_policy policy;
        policy.kind = c.kind;
        policy.force = c.force;
        ASSERT_EQ(file_identity_of((dir / "in.pak").string(), policy.inputs.emplace_back()), 0);
        const std::vector<std::uint8_t> before =
            fs::is_regular_file(dir / c.name) ? test::read_file(dir / c.name) : std::vector<std::uint8_t>{};
        path_output out;
        path_refusal why = path_refusal::none;
        const std::string path = (dir / c.name).string();
        const int rc = output_begin_path(path, policy, out, why);
        EXPECT_EQ(why, c.refused) << c.what;
        const std::vector<std::uint8_t> written = {'n', 'e', 'w'};
        if (c.refused != path_refusal::none) {
            EXPECT_NE(rc, 0) << c.what;
            if (fs::is_regular_file(dir / c.name)) {
                EXPECT_EQ(test::read_file(dir / c.name), before) << c.what;
            }
            EXPECT_EQ(test::read_file(dir / "in.pak"), archive) << c.what;
            continue;
        }
        ASSERT_EQ(rc, 0) << c.what << ": " << std::strerror(errno);
        ASSERT_EQ(write(out.file.fd, written.data(), written.size()), static_cast<ssize_t>(written.size()));
        ASSERT_EQ(output_commit_path(out), 0) << c.what;
        EXPECT_FALSE(fs::is_symlink(path)) << c.what;
        EXPECT_EQ(test::read_file(path), written) << c.what;
        EXPECT_EQ(test::read_file(dir / "outside"), (std::vector<std::uint8_t>{'o', 'u', 't'})) << c.what;
        EXPECT_EQ(test::read_file(dir / "in.pak"), archive) << c.what;
    }
}

TEST(PathOutputs, DevicesAndFifosAreWrittenThroughNeverReplaced)
{
    const std::vector<std::uint8_t> archive = tex_build_archive(test::archive_of({}));
    temp_dir dir;
    // A device of our own: the null device's numbers, made in the scratch folder.
    const bool have_device = mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink("fifo", dir / "to-fifo");
    for (const char* name : {"null", "fifo", "to-fifo"}) {
        if (std::string(name) == "null" && !have_device) continue;
        std::vector<std::uint8_t> got;
        std::thread reader;
        if (std::string(name) != "null") {
            reader = std::thread([&] { got = test::read_file(dir / "fifo"); });
        }
        path_output out;
        path_refusal why = path_refusal::none;
        ASSERT_EQ(output_begin_path((dir / name).string(), output_policy{}, out, why), 0) << name;
        ASSERT_EQ(write(out.file.fd, archive.data(), archive.size()), static_cast<ssize_t>(archive.size()));
        EXPECT_EQ(output_commit_path(out), 0) << name;
        if (reader.joinable()) {
            reader.join();
            EXPECT_EQ(got, archive) << name;
        }
    }
    struct stat st {};
    EXPECT_TRUE(stat((dir / "fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(!have_device || (stat((dir / "null").c_str(), &st) == 0 && S_ISCHR(st.st_mode)));
    EXPECT_TRUE(fs::is_symlink(dir / "to-fifo"));
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"fifo", "null", "to-fifo"}));
}

}  // namespace

// ---------------------------------------------------------------------------
// The primitives each system offers the policy (output_system.hpp).

namespace {

// A folder of the test's own, held as the policy holds one.
unique_fd folder_fd(const fs::path& path)
{
    return unique_fd(system_open_folder_path(path.string(), false));
}

TEST(OutputPrimitives, PlacingReplacesInOneStepOrFindsTheNameTaken)
{
    struct placing {
        const char* what;
        std::function<void(const fs::path& to)> plant;
        bool replace;
        int error;  // 0: placed
    };
    const auto nothing = [](const fs::path&) {};
    const auto file = [](const fs::path& to) { test::write_file(to / "x", {'o', 'l', 'd'}); };
    const auto link_out = [](const fs::path& to) { fs::create_symlink(to.parent_path().parent_path() / "outside", to / "x"); };
    const auto dangling = [](const fs::path& to) { fs::create_symlink("nowhere", to / "x"); };
    const auto folder = [](const fs::path& to) { fs::create_directory(to / "x"); };
    const std::vector<placing> cases = {
        {"nothing", nothing, false, 0},       {"nothing", nothing, true, 0},
        {"a file", file, false, EEXIST},      {"a file", file, true, 0},
        {"a link out", link_out, false, EEXIST}, {"a link out", link_out, true, 0},
        {"a dangling link", dangling, false, EEXIST}, {"a dangling link", dangling, true, 0},
        {"a folder", folder, false, EEXIST},  {"a folder", folder, true, EISDIR},
    };
    for (const placing& c : cases) {
        const std::string trace = std::string(c.what) + (c.replace ? ", replacing" : ", keeping");
        temp_dir top;
        test::write_file(top / "outside", {'o', 'u', 't'});
        // Made in one folder, placed in another beneath it, as a file whose
        // folders were still to be made is.
        const fs::path from = top / "from", to = from / "to";
        fs::create_directories(to);
        c.plant(to);
        const unique_fd from_fd = folder_fd(from), to_fd = folder_fd(to);
        const unique_fd f(system_create_named(from_fd, ".t"));
        ASSERT_GE(f.get(), 0) << trace;
        ASSERT_EQ(write(f, content.data(), content.size()), 3);
        const int rc = system_place(f, from_fd, ".t", to_fd, "x", c.replace);
        EXPECT_EQ(rc == 0 ? 0 : errno, c.error) << trace;
        EXPECT_EQ(test::read_file(top / "outside"), (std::vector<std::uint8_t>{'o', 'u', 't'})) << trace;
        if (c.error == 0) {
            EXPECT_FALSE(fs::is_symlink(to / "x")) << trace;
            EXPECT_EQ(test::read_file(to / "x"), content) << trace;
            EXPECT_EQ(test::list_dir(from), std::vector<std::string>{"to"}) << trace;
        } else {
            // Nothing moved: the policy removes its temporary file itself.
            EXPECT_EQ(test::list_dir(from), (std::vector<std::string>{".t", "to"})) << trace;
            EXPECT_EQ(fs::symlink_status(to / "x").type(), [&] {
                temp_dir again;
                c.plant(again.path());
                return fs::symlink_status(again / "x").type();
            }()) << trace;
        }
    }
}

TEST(OutputPrimitives, FoldersAreMadeOrFoundNeverThroughALinkAndUnmadeOnlyWhenEmpty)
{
    struct making {
        const char* what;
        std::function<void(const fs::path& parent)> plant;
        int fd_made;  // 1: made here, 0: found, -1: refused
    };
    const std::vector<making> cases = {
        {"nothing", [](const fs::path&) {}, 1},
        {"a folder", [](const fs::path& p) { fs::create_directory(p / "d"); }, 0},
        {"a link to a folder", [](const fs::path& p) { fs::create_directory_symlink(p.parent_path(), p / "d"); }, -1},
        {"a file", [](const fs::path& p) { test::write_file(p / "d", {}); }, -1},
    };
    for (const bool fill : {false, true}) {
        for (const making& c : cases) {
            temp_dir top;
            const fs::path parent = top / "p";
            fs::create_directory(parent);
            c.plant(parent);
            const unique_fd parent_fd = folder_fd(parent);
            bool made = false;
            unique_fd d(system_make_folder(parent_fd, "d", made));
            EXPECT_EQ(d < 0 ? -1 : made ? 1 : 0, c.fd_made) << c.what;
            if (d < 0) continue;
            EXPECT_TRUE(system_is_folder(d)) << c.what;
            if (fill) test::write_file(parent / "d" / "f", {});
            // Undone: a folder made here and still empty goes; nothing else does.
            if (made) system_unmake_folder(parent_fd, "d", d);
            d.reset();
            EXPECT_EQ(fs::exists(parent / "d"), !made || fill) << c.what << ", filled: " << fill;
        }
    }
}

TEST(OutputPrimitives, LookingUnderANameFollowsNothingAndOpensOnlyRegularFiles)
{
    const std::vector<std::uint8_t> archive = tex_build_archive(test::archive_of({}));
    struct looking {
        const char* what;
        std::function<void(const fs::path& dir)> plant;
        system_kind kind;
        system_kind target;    // none: not known
        int leading;           // bytes read; -1: none
    };
    const std::vector<looking> cases = {
        {"nothing", [](const fs::path&) {}, system_kind::none, system_kind::none, -1},
        {"an empty file", [](const fs::path& d) { test::write_file(d / "x", {}); }, system_kind::regular, system_kind::none, 0},
        {"an archive", [&](const fs::path& d) { test::write_file(d / "x", archive); }, system_kind::regular, system_kind::none,
         static_cast<int>(std::min<std::size_t>(archive.size(), 64))},
        {"a folder", [](const fs::path& d) { fs::create_directory(d / "x"); }, system_kind::folder, system_kind::none, -1},
        {"a link to a file", [&](const fs::path& d) { test::write_file(d / "f", archive); fs::create_symlink("f", d / "x"); },
         system_kind::link, system_kind::regular, -1},
        {"a dangling link", [](const fs::path& d) { fs::create_symlink("nowhere", d / "x"); }, system_kind::link,
         system_kind::none, -1},
        {"a link to a FIFO", [](const fs::path& d) { mkfifo((d / "f").c_str(), 0600); fs::create_symlink("f", d / "x"); },
         system_kind::link, system_kind::stream, -1},
        {"a FIFO", [](const fs::path& d) { mkfifo((d / "x").c_str(), 0600); }, system_kind::stream, system_kind::none, -1},
    };
    for (const looking& c : cases) {
        temp_dir dir;
        c.plant(dir.path());
        system_look look;
        ASSERT_EQ(system_look_under(folder_fd(dir.path()), "x", true, look), 0) << c.what;
        EXPECT_EQ(look.kind, c.kind) << c.what;
        EXPECT_EQ(look.target_known ? look.target_kind : system_kind::none, c.target) << c.what;
        EXPECT_EQ(look.leading_known ? static_cast<int>(look.leading_size) : -1, c.leading) << c.what;
        file_identity id;
        if (c.kind != system_kind::none && file_identity_of((dir / (c.target != system_kind::none ? "f" : "x")).string(), id) == 0) {
            EXPECT_EQ(c.target != system_kind::none ? look.target : look.identity, id) << c.what;
        }
    }
}

// Where an unnamed file can be made but not linked in, its bytes go into a
// named one made beside it, never into anything planted there.
TEST(OutputFiles, AnUnnamedFileThatCantBeLinkedInIsCopiedIntoANamedOne)
{
    for (const bool taken : {false, true}) {
        for (const bool replace : {false, true}) {
            knobs_reset reset;
            temp_dir top;
            const fs::path root = top / "root";
            fs::create_directory(root);
            test::write_file(top / "outside", {'o', 'u', 't'});
            fs::create_symlink(top / "outside", root / ".morvex-a");
            if (taken) test::write_file(root / "x.tga", {'o', 'l', 'd'});
            planted_names = {".morvex-a"};
            next_planted = 0;
            output_test.next_temporary_name = planted_then_fresh;
            output_test.unnamed_unlinkable = true;
            output_root r;
            ASSERT_EQ(output_open_root(root.c_str(), true, r), 0);
            output_file f;
            name_problem why = name_problem::none;
            ASSERT_EQ(output_begin(r, "x.tga", f, why), output_error::none);
            ASSERT_EQ(write(f.fd, content.data(), content.size()), 3);
            const int rc = output_commit(f, replace);
            const std::string trace = std::string(taken ? "taken" : "free") + (replace ? ", replacing" : ", keeping");
            EXPECT_EQ(rc == 0, !taken || replace) << trace;
            const std::vector<std::uint8_t> old{'o', 'l', 'd'};
            EXPECT_EQ(test::read_file(root / "x.tga"), rc == 0 ? content : old) << trace;
            EXPECT_EQ(test::read_file(top / "outside"), (std::vector<std::uint8_t>{'o', 'u', 't'})) << trace;
            EXPECT_EQ(test::list_dir(root), (std::vector<std::string>{".morvex-a", "x.tga"})) << trace;
        }
    }
}

}  // namespace
