// morvex_tex's command lines as people write them: the option syntax read
// into options and operands or refused in one line, list's patterns and
// its verbose table, arguments in the wrong order and errors that end the
// call, and every key of the man page's JSON table in what is printed.
#include <gtest/gtest.h>

#ifdef MORVEX_TEX_PATH

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "app/tex_options.hpp"
#include "support/json.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

test::run_result run_tex(const std::vector<std::string>& args, const fs::path& cwd)
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=1"});
}

// What tex_cli_parse makes of `args`: each option by its long name (with
// "=value" when it takes one; one with none as spelt), "|", the operands; or
// what it said.
std::string parsed(const tex_command& command, const std::vector<std::string>& args)
{
    std::vector<std::string> words{command.name};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    temp_dir dir;
    std::fflush(stderr);
    const int saved = dup(2), said = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(said, 2);
    tex_command_line line;
    const tex_parsed result = tex_cli_parse(command, static_cast<int>(argv.size()), argv.data(), line);
    std::fflush(stderr);
    dup2(saved, 2);
    close(said);
    close(saved);
    if (result == tex_parsed::refused) {
        const std::vector<std::uint8_t> err = test::read_file(dir / "err");
        return std::string(err.begin(), err.end());
    }
    std::string out;
    for (const tex_given& g : line.options) {
        const tex_option_spelling& s = tex_option_spelled(g.id);
        out += (*s.name ? std::string(s.name) : g.spelled) + (s.takes_value ? "=" + g.value : "") + " ";
    }
    out += "|";
    for (const std::string& o : line.operands) out += " " + o;
    return out;
}

std::vector<std::uint32_t> solid(std::size_t n, std::uint32_t argb)
{
    return std::vector<std::uint32_t>(n, argb);
}

tex_writer_archive sample()
{
    return test::archive_of({tex_type6_entry("sky.tga", 3, 2, solid(6, 0x80112233)), tex_type6_entry("ui/button.png", 2, 2, solid(4, 1)),
                             tex_type6_entry("ui/deep/Icon.PNG", 1, 1, solid(1, 2)), tex_type6_entry("ground.bmp", 2, 1, solid(2, 3))});
}

TEST(TexSyntax, CommandLinesReadAsWrittenOrRefusedInOneLine)
{
    struct row {
        const char* command;  // "" for the program's own
        std::vector<std::string> args;
        std::string expected;  // what is read, or the error line without "morvex_tex: "
        bool refused;
        bool parsed_only_by_the_program = false;  // a value checked, or the program's own level
    };
    const std::vector<row> rows = {
        {"extract", {"-qk", "a.pak"}, "quiet keep | a.pak", false},
        {"extract", {"-j4", "a.pak", "-qj", "2"}, "jobs=4 quiet jobs=2 | a.pak", false},
        {"extract", {"a.pak", "-qkCout", "ui/*"}, "quiet keep directory=out | a.pak ui/*", false},
        {"extract", {"--jobs=3", "--directory", "out", "a.pak"}, "jobs=3 directory=out | a.pak", false},
        {"extract", {"-x", "-old.tga", "--exclude", "--raw", "a.pak"}, "exclude=-old.tga exclude=--raw | a.pak", false},
        {"extract", {"--include=", "a.pak", "-"}, "include= | a.pak -", false},
        {"extract", {"a.pak", "--", "-q", "--json"}, "| a.pak -q --json", false},
        {"list", {"-v", "a.pak", "--ignore-case", "-ib.pak"}, "verbose ignore-case include=b.pak | a.pak", false},
        {"test", {"--json", "-j2", "a.pak"}, "json jobs=2 | a.pak", false},
        {"list", {"--names", "a.pak", "--json"}, "list: --names and --json exclude each other", true},
        {"list", {"--json", "-v", "a.pak"}, "list: --json and -v exclude each other", true},
        {"extract", {"--format", "png", "--raw", "a.pak"}, "extract: --format and --raw exclude each other", true},
        {"extract", {"-kO", "a.pak"}, "extract: -k and -O exclude each other: -O writes no file", true},
        {"extract", {"-O", "--directory=x", "a.pak"}, "extract: -O and --directory exclude each other: -O writes no file", true},
        {"extract", {"-qz", "a.pak"}, "extract: unknown option -z in -qz", true},
        {"extract", {"--ignore-cas", "a.pak"}, "extract: unknown option --ignore-cas (did you mean --ignore-case?)", true},
        {"extract", {"--to-stdout=yes", "a.pak"}, "extract: option --to-stdout takes no value", true},
        {"extract", {"a.pak", "-C"}, "extract: option -C needs a value", true},
        {"extract", {"a.pak", "--format"}, "extract: option --format needs a value", true},
        {"list", {"-json", "a.pak"}, "list: unknown option -json (did you mean --json?)", true},
        {"list", {"--name", "a.pak"}, "list: unknown option --name (did you mean --names?)", true},
        {"test", {"-q", "a.pak"}, "test: unknown option -q", true},
        {"test", {"--jsno=1", "a.pak"}, "test: unknown option --jsno (did you mean --json?)", true},
        {"extract", {"--format=gif", "a.pak"}, "extract: --format takes tga, png, bmp, pcx or webp", true, true},
        {"test", {"-j0", "a.pak"}, "test: -j takes a number from 1 to 256, not 0", true, true},
        {"", {"lsit", "a.pak"}, "unknown command lsit (did you mean list?)", true, true},
        {"", {"extrct"}, "unknown command extrct (did you mean extract?)", true, true},
        {"", {"unpack"}, "unknown command unpack", true, true},
        {"", {"--verison"}, "unknown option --verison (did you mean --version?)", true, true},
        {"", {"--json", "list", "a.pak"}, "unknown option --json (options go after the command)", true, true},
        {"", {}, "no command: list, test, extract, diff, gallery, create, replace, add, update, delete or rename", true, true},
        {"", {"help", "lsit"}, "no command lsit (did you mean list?)", true, true},
        {"gallery", {"-qfo", "p.html", "a.pak", "--size=512"}, "quiet force output=p.html size=512 | a.pak", false},
        {"gallery", {"--size", "2000", "a.pak"}, "gallery: --size takes a number from 1 to 1024, not 2000", true, true},
        {"gallery", {"-o", "p.html", "a.pak", "b.pak"}, "gallery: -o names the page of one archive", true, true},
        {"gallery", {"--sise=4", "a.pak"}, "gallery: unknown option --sise (did you mean --size?)", true},
    };
    const std::map<std::string, const tex_command*> commands = {
        {"list", &tex_list_command}, {"test", &tex_test_command}, {"extract", &tex_extract_command},
        {"gallery", &tex_gallery_command}};
    temp_dir dir;
    for (const row& r : rows) {
        const std::string command = r.command;
        const std::string shown = command + " " + (r.args.empty() ? "" : r.args[0]);
        const std::string said = "morvex_tex: " + r.expected + "\nTry 'morvex_tex" + (command.empty() ? "" : " " + command) +
                                 " --help' for more information.\n";
        if (!r.parsed_only_by_the_program) {
            EXPECT_EQ(parsed(*commands.at(command), r.args), r.refused ? said : r.expected) << shown;
        }
        if (!r.refused) continue;
        std::vector<std::string> args = r.args;
        if (!command.empty()) args.insert(args.begin(), command);
        const auto run = run_tex(args, dir.path());
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_EQ(run.err, said) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
    // Help anywhere in a bundle, on standard output; nothing was written.
    const auto help = run_tex({"extract", "a.pak", "-qh"}, dir.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage: morvex_tex extract ")) << help.out;
    EXPECT_TRUE(run_tex({"help", "list"}, dir.path()).out.starts_with("usage: morvex_tex list "));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// The packer's command lines take the same syntax: bundles, glued values,
// the nearest long option; under its own name usage errors exit 1.
TEST(TexSyntax, ThePackersOptionsBundleAndSuggest)
{
    temp_dir dir;
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::string try_create = "Try 'morvex_tex create --help' for more information.\n";
    const std::vector<row> rows = {
        {{"create", "--levl=3", "o.pak", "x.png"}, 2, "morvex_tex: unknown option '--levl=3' (did you mean --level?)\n" + try_create},
        {{"create", "-qnt5", "o.pak", "x.png"}, 2, "morvex_tex: invalid type '5': 4 or 6\n" + try_create},
        {{"create", "-qn9", "o.pak", "missing.png"}, 1, "morvex_tex: missing.png: No such file or directory\n"},
        {{"create", "-qj", "2", "-n", "o.pak", "missing.png"}, 1, "morvex_tex: missing.png: No such file or directory\n"},
        {{"create", "-qz", "o.pak", "x.png"}, 2, "morvex_tex: unknown option '-qz'\n" + try_create},
    };
    for (const row& r : rows) {
        const auto run = run_tex(r.args, dir.path());
        EXPECT_EQ(run.status, r.status) << r.args[1];
        EXPECT_EQ(run.err, r.err) << r.args[1];
    }
    const auto own = test::run_program(MORVEX_PACK_PATH, {"-qnt5", "create", "o.pak", "x.png"}, dir.path());
    EXPECT_EQ(own.status, 1);
    EXPECT_EQ(own.err, "morvex_tex_pack: invalid type '5': 4 or 6\nTry 'morvex_tex_pack --help' for more information.\n");
    EXPECT_TRUE(test::list_dir(dir.path()).empty());
}

// The packer's lines go through the same scanner, by its own table and in
// its own words: the whole argument quoted, -h read as any option (a usage
// error after it still counts), a value refused before the next option.
TEST(TexSyntax, ThePackersLineIsReadByTheSameTable)
{
    struct row {
        const char* command;  // "": morvex_tex_pack's own line
        std::vector<std::string> args;
        std::string expected;  // what is read, or what is said
    };
    const std::string try_own = "\nTry 'morvex_tex_pack --help' for more information.\n";
    const std::string try_delete = "\nTry 'morvex_tex delete --help' for more information.\n";
    const std::vector<row> rows = {
        {"", {"-qn9", "create", "o.pak", "x.png"}, "quiet dry-run -9 | create o.pak x.png"},
        {"", {"--level=3", "-j4", "-3v", "--best", "-", "--", "-q"}, "level=3 jobs=4 -3 verbose best | - -q"},
        {"", {"-hq", "--version"}, "help quiet version |"},
        {"", {"-x", "-a.tga", "--ignore-case", "--type", "4"}, "exclude=-a.tga ignore-case type=4 |"},
        {"", {"-h", "-z"}, "morvex_tex_pack: unknown option '-z'" + try_own},
        {"", {"-0"}, "morvex_tex_pack: unknown option '-0'" + try_own},
        {"", {"-i", "a"}, "morvex_tex_pack: unknown option '-i'" + try_own},
        {"", {"--fast=1"}, "morvex_tex_pack: unknown option '--fast=1' (did you mean --fast?)" + try_own},
        {"", {"--dry"}, "morvex_tex_pack: unknown option '--dry' (did you mean --dry-run?)" + try_own},
        {"", {"a.pak", "-x"}, "morvex_tex_pack: option '-x' needs a value" + try_own},
        {"delete", {"a.pak", "--exclude"}, "morvex_tex: option '--exclude' needs a value" + try_delete},
        {"delete", {"--ignore-cas"}, "morvex_tex: unknown option '--ignore-cas' (did you mean --ignore-case?)" + try_delete},
    };
    for (const row& r : rows) {
        const tex_command* command = tex_pack_command(r.command);
        ASSERT_NE(command, nullptr) << r.command;
        EXPECT_EQ(parsed(*command, r.args), r.expected) << r.command << " " << r.args[0];
    }
    EXPECT_EQ(tex_pack_command("")->usage_exit, 1);
    EXPECT_EQ(tex_pack_command("rename")->usage_exit, 2);
    EXPECT_EQ(tex_pack_command("list"), nullptr);

    // Values are checked as they are read: the first fault on the line is said.
    temp_dir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"create", "o.pak", "x.png", "-t5", "-z"}, "morvex_tex_pack: invalid type '5': 4 or 6"},
        {{"create", "o.pak", "x.png", "-z", "-t5"}, "morvex_tex_pack: unknown option '-z'"},
        {{"-j0", "--level=13", "create"}, "morvex_tex_pack: invalid number of threads '0': 1 to 256"},
        {{"--help", "--level=13"}, "morvex_tex_pack: invalid level '13': 1 to 12"},
    };
    for (const auto& [args, said] : runs) {
        const auto run = test::run_program(MORVEX_PACK_PATH, args, dir.path());
        EXPECT_EQ(run.status, 1) << said;
        EXPECT_EQ(run.err, said + try_own) << said;
        EXPECT_EQ(run.out, "") << said;
    }
    EXPECT_TRUE(test::list_dir(dir.path()).empty());
}

TEST(TexList, PatternsTakeWhatExtractTakesAndVerboseAddsTheTotals)
{
    struct row {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const std::string rule = "-----  ----  -----------  ------  ------  ----\n";
    const std::string head = "Index  Type        Image  Stored  Offset  Name\n" + rule;
    const std::vector<row> rows = {
        {{"list", "a.pak", "ui/"}, 0, "2   6         2x2  16  ui/button.png\n3   6         1x1   4  ui/deep/Icon.PNG\n", ""},
        {{"list", "--names", "a.pak", "-x", "ui/"}, 0, "sky.tga\nground.bmp\n", ""},
        {{"list", "--names", "--ignore-case", "a.pak", "*.png"}, 0, "ui/button.png\nui/deep/Icon.PNG\n", ""},
        {{"list", "a.pak", "SKY.TGA"}, 1, "", "morvex_tex: a.pak: no entry matches SKY.TGA; with --ignore-case it matches sky.tga\n"},
        {{"list", "-v", "a.pak"}, 0,
         head + "    0     6          0x0       0     316  index\n"
                "    1     6          3x2      24     396  sky.tga\n"
                "    2     6          2x2      16     500  ui/button.png\n"
                "    3     6          1x1       4     596  ui/deep/Icon.PNG\n"
                "    4     6          2x1       8     680  ground.bmp\n" +
             rule + "                              52          5 entries\n",
         ""},
        {{"list", "-v", "a.pak", "*.png", "-i", "ground.bmp"}, 0,
         head + "    2     6          2x2      16     500  ui/button.png\n"
                "    4     6          2x1       8     680  ground.bmp\n" +
             rule + "                              24          2 of 5 entries\n",
         ""},
        {{"extract", "-C", "out", "a.pak", "*.Png"}, 1, "0 extracted, 0 failed, 0 skipped\n",
         "morvex_tex: a.pak: no entry matches *.Png; with --ignore-case it matches ui/button.png and 1 more\n"},
    };
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample());
    for (const row& r : rows) {
        const auto run = run_tex(r.args, dir.path());
        EXPECT_EQ(run.status, r.status) << r.args[2];
        EXPECT_EQ(run.out, r.out) << r.args[2];
        EXPECT_EQ(run.err, r.err) << r.args[2];
    }
    const test::json j = test::parse_json(run_tex({"list", "--json", "a.pak", "ui/"}, dir.path()).out);
    ASSERT_EQ(j["entries"].size(), 2u);
    EXPECT_EQ(j["entries"][0]["index"].num(), 2);
    EXPECT_EQ(j["entries"][1]["name"].str(), "ui/deep/Icon.PNG");
}

TEST(TexOrder, WrongOrderAndEndingErrorsSayOneLineAndWriteNothing)
{
    struct row {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string extract_first = ": archives come first (extract ARCHIVE... [PATTERN...])\n";
    const std::vector<row> rows = {
        {{"extract", "sky.tga", "a.pak"}, "morvex_tex: sky.tga is no archive, but a.pak is" + extract_first},
        {{"extract", "-C", "out", "gone.tga", "a.pak", "ui/*"}, "morvex_tex: gone.tga is no archive, but a.pak is" + extract_first},
        {{"extract", "folder", "-", "a.pak"}, "morvex_tex: folder is no archive, but a.pak is" + extract_first},
        {{"list", "--json", "sky.tga", "a.pak"},
         "morvex_tex: sky.tga is no archive, but a.pak is: archives come first (list ARCHIVE... [PATTERN...])\n"},
        {{"extract", "nothere.pak", "ui/*"}, "morvex_tex: nothere.pak: No such file or directory\n"},
        {{"list", "nothere.pak", "ui/*"}, "morvex_tex: nothere.pak: No such file or directory\n"},
        {{"extract", "sky.tga", "ui/*"}, "morvex_tex: sky.tga: not a TEX version 3 archive\n"},
        {{"extract", "-C", "note.txt/out", "a.pak", "ui/*"}, "morvex_tex: note.txt/out: Not a directory\n"},
    };
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample());
    test::write_file(dir / "sky.tga", {'h', 'i'});
    test::write_file(dir / "note.txt", {'h', 'i'});
    fs::create_directory(dir / "folder");
    const std::vector<std::string> before = test::list_dir(dir.path());
    for (const row& r : rows) {
        const auto run = run_tex(r.args, dir.path());
        EXPECT_EQ(run.status, 2) << r.args[1];
        EXPECT_EQ(run.err, r.err) << r.args[1];
        EXPECT_EQ(run.out, "") << r.args[1];
        EXPECT_EQ(test::list_dir(dir.path()), before) << r.args[1];
        EXPECT_TRUE(fs::is_empty(dir / "folder")) << r.args[1];
    }
}

// The man page's table of JSON keys: for each object ("wrapper", "archive",
// "entry"), its keys and their types.
std::map<std::string, std::map<std::string, std::string>> json_table()
{
    std::ifstream page(std::string(MORVEX_SOURCE_DIR) + "/man/morvex_tex.1");
    std::stringstream text;
    text << page.rdbuf();
    const std::string all = text.str();
    const std::size_t from = all.find("\n.nf\nKEY "), to = all.find("\n.fi\n", from);
    std::istringstream table(all.substr(from, to - from));
    std::map<std::string, std::map<std::string, std::string>> out;
    std::string object;
    const std::regex key_row("^([a-z_]+) {2,}([a-z|\\[\\]]+)( {2,}.*)?$");
    std::smatch m;
    for (std::string line; std::getline(table, line);) {
        if (std::regex_match(line, m, key_row)) {
            out[object][m[1]] = m[2];
        } else if (!line.starts_with(" ") && line.ends_with(":")) {
            object = line.find("wrapper") != std::string::npos ? "wrapper" : line.find("archive object") != std::string::npos ? "archive" : "entry";
        }
    }
    return out;
}

// Whether `value` is of one of the table's types ("number|null", "[string]").
bool of_type(const test::json& value, const std::string& types)
{
    std::set<std::string> named;
    std::istringstream in(types);
    for (std::string t; std::getline(in, t, '|');) named.insert(t);
    const auto& v = value.v;
    if (std::holds_alternative<std::vector<test::json>>(v)) {
        const auto& items = std::get<std::vector<test::json>>(v);
        const std::string item = named.contains("[string]") ? "string" : "object";
        return (named.contains("[string]") || named.contains("[object]")) &&
               std::all_of(items.begin(), items.end(), [&](const test::json& i) {
                   return item == "string" ? std::holds_alternative<std::string>(i.v) : std::holds_alternative<test::json_object>(i.v);
               });
    }
    return (std::holds_alternative<std::nullptr_t>(v) && named.contains("null")) ||
           (std::holds_alternative<bool>(v) && named.contains("boolean")) ||
           (std::holds_alternative<double>(v) && named.contains("number")) ||
           (std::holds_alternative<std::string>(v) && named.contains("string"));
}

// Every key of `object`'s row in the table is there with its type, and no other.
void expect_keys(const test::json& value, const std::map<std::string, std::string>& table, const std::string& what)
{
    const auto& object = std::get<test::json_object>(value.v);
    std::set<std::string> keys, documented;
    for (const auto& [key, v] : object) keys.insert(key);
    for (const auto& [key, types] : table) {
        documented.insert(key);
        if (object.contains(key)) {
            EXPECT_TRUE(of_type(object.at(key), types)) << what << ": " << key << " is no " << types;
        }
    }
    EXPECT_EQ(keys, documented) << what;
}

TEST(TexJson, EveryKeyOfTheManPagesTableForReadableAndUnreadableArchives)
{
    const auto table = json_table();
    ASSERT_EQ(table.size(), 3u);
    ASSERT_GE(table.at("entry").size(), 13u);
    temp_dir dir;
    tex_writer_archive a = sample();
    test::write_archive(dir, "a.pak", a);
    a.entries[3].offset = 0x10000;  // a header past the end: its entry's nulls
    a.entries[3].write_body = false;
    test::write_archive(dir, "cut.pak", a);
    std::vector<test::json> archives;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"list", "--json", "a.pak"}, {"list", "--json", "gone.pak"},
                                                {"test", "--json", "cut.pak", "gone.pak"}, {"list", "--json", "cut.pak", "-"}}) {
        const test::json j = test::parse_json(run_tex(args, dir.path()).out);
        if (std::get<test::json_object>(j.v).contains("archives")) {
            expect_keys(j, table.at("wrapper"), args[0] + " " + args[2]);
            for (std::size_t k = 0; k < j["archives"].size(); ++k) archives.push_back(j["archives"][k]);
        } else {
            archives.push_back(j);
        }
    }
    ASSERT_EQ(archives.size(), 6u);
    std::size_t readable = 0, entries = 0;
    for (const test::json& archive : archives) {
        expect_keys(archive, table.at("archive"), archive["archive"].str());
        readable += std::get<bool>(archive["readable"].v);
        for (std::size_t k = 0; k < archive["entries"].size(); ++k, ++entries) {
            expect_keys(archive["entries"][k], table.at("entry"), archive["archive"].str() + " entry " + std::to_string(k));
        }
    }
    EXPECT_EQ(readable, 3u);
    EXPECT_EQ(entries, 15u);
}

}  // namespace

#endif
