// Corruption: every byte of a small well-formed archive flipped, and the archive
// cut at every length, in both output modes. The extractor's whole main runs in
// this process (one process per variant would take minutes under the
// sanitizers), so a crash, a hang or, in the sanitizer build, a leak fails the
// test. Entries that the damage didn't touch must come out exactly as from the
// intact archive; no temporary file may be left and nothing written outside.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <fcntl.h>
#include <unistd.h>

#include "app/app.hpp"
#include "entries/entries.hpp"
#include "format/writer.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;

// Where an entry lies: its table record and its header with the payload.
struct entry_place {
    std::string name;
    std::size_t record;
    std::size_t begin;
    std::size_t end;
    bool holds(std::size_t at) const
    {
        return (at >= record && at < record + tex_table_entry_size) || (at >= begin && at < end);
    }
};

using outputs = std::map<std::string, std::vector<std::uint8_t>>;

class Corruption : public testing::Test {
protected:
    void SetUp() override
    {
        tex_writer_archive a;
        tex_writer_entry index;
        index.name = "index";
        a.entries.push_back(index);
        std::vector<std::uint16_t> p4(12);
        for (std::size_t k = 0; k < p4.size(); ++k) p4[k] = static_cast<std::uint16_t>(0x8421u * (k + 1));
        std::vector<std::uint32_t> p6(6);
        for (std::size_t k = 0; k < p6.size(); ++k) p6[k] = 0x01234567u * static_cast<std::uint32_t>(k + 3);
        a.entries.push_back(tex_type4_entry("a.tga", 4, 3, p4));
        a.entries.push_back(tex_type6_entry("b.tga", 3, 2, p6));
        a.entries.push_back(tex_type4_entry("c.png", 2, 2, std::span(p4).first(4)));
        a.entries.push_back(tex_type6_entry("d.bmp", 1, 1, std::span(p6).first(1)));
        archive_ = tex_build_archive(a);
        for (std::size_t k = 1; k < a.entries.size(); ++k) {
            const std::size_t record = tex_header_size + k * tex_table_entry_size;
            const std::size_t begin = tex_le32(archive_, record + 4);
            places_.push_back({a.entries[k].name, record, begin,
                               begin + tex_entry_header_size + a.entries[k].payload.size()});
            payloads_[a.entries[k].name] = a.entries[k].payload;
        }
        fs::create_directory(out_);
        // The references come from one thread, the variants from two workers.
        setenv("MORVEX_TEX_JOBS", "1", 1);
        for (const bool raw : {false, true}) {
            write_variant(archive_);
            ASSERT_EQ(run(raw), 0);
            reference_[raw] = collect();
            ASSERT_EQ(reference_[raw].size(), places_.size());
        }
        ASSERT_EQ(reference_[true], payloads_);
        setenv("MORVEX_TEX_JOBS", "2", 1);
        // Where a crash's report would be found: this folder outlives a crash.
        std::printf("each variant's output goes to %s\n", log_.c_str());
        std::fflush(stdout);
        alarm(600);  // a hang ends the test instead of the CI run
    }

    void TearDown() override
    {
        alarm(0);
        unsetenv("MORVEX_TEX_JOBS");
    }

    void write_variant(const std::vector<std::uint8_t>& bytes) { test::write_file(archive_path_, bytes); }

    // The extractor on the current variant, inside out_, with its standard
    // output and error sent to log_.
    int run(bool raw)
    {
        for (const auto& e : fs::directory_iterator(out_)) fs::remove_all(e.path());
        const fs::path cwd = fs::current_path();
        fs::current_path(out_);
        std::fflush(stdout);
        std::fflush(stderr);
        const int saved_out = dup(1);
        const int saved_err = dup(2);
        const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, 1);
        dup2(log, 2);
        close(log);
        std::string program = "morvex_tex_extractor", path = archive_path_.string(), flag = "-no-convert";
        char* argv[] = {program.data(), path.data(), flag.data(), nullptr};
        const int status = extractor_main(raw ? 3 : 2, argv);
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
        fs::current_path(cwd);
        return status;
    }

    outputs collect() const
    {
        outputs got;
        for (const auto& e : fs::directory_iterator(out_)) {
            got[e.path().filename().string()] = test::read_file(e.path());
        }
        return got;
    }

    // True when another record of the variant points inside the entry's
    // payload: the entry is then refused, as it would run over a header.
    static bool covers_a_header(const std::vector<std::uint8_t>& bytes, const entry_place& p)
    {
        const std::size_t present = (bytes.size() - tex_header_size) / tex_table_entry_size;
        const std::size_t count = std::min<std::size_t>(tex_le32(bytes, 4), present);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t offset = tex_le32(bytes, tex_header_size + k * tex_table_entry_size + 4);
            if (offset > p.begin && offset < p.end) return true;
        }
        return false;
    }

    // Nothing but the archive, the output folder and the log; no temporary left.
    void expect_clean(const outputs& got, const std::string& variant)
    {
        EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"archive", "out", "run.log"})) << variant;
        for (const auto& [name, bytes] : got) EXPECT_NE(name.rfind(".~", 0), 0u) << variant << ": " << name;
    }

    test::temp_dir dir_;
    fs::path out_ = dir_ / "out";
    fs::path archive_path_ = dir_ / "archive";
    fs::path log_ = dir_ / "run.log";
    std::vector<std::uint8_t> archive_;
    std::vector<entry_place> places_;
    outputs payloads_;
    std::map<bool, outputs> reference_;
};

TEST_F(Corruption, EveryByteFlippedSparesTheEntriesItDoesntTouch)
{
    int failures = 0;
    for (std::size_t at = 0; at < archive_.size() && failures < 5; ++at) {
        std::vector<std::uint8_t> bytes = archive_;
        bytes[at] ^= 0xFF;
        write_variant(bytes);
        for (const bool raw : {false, true}) {
            const std::string variant = "byte " + std::to_string(at) + (raw ? " raw" : " converted");
            ASSERT_EQ(run(raw), 0) << variant;
            const outputs got = collect();
            expect_clean(got, variant);
            if (at < tex_leading_size) {
                EXPECT_TRUE(got.empty()) << variant;  // no longer an archive we decode
                continue;
            }
            for (const entry_place& p : places_) {
                if (p.holds(at) || covers_a_header(bytes, p)) continue;
                const auto found = got.find(p.name);
                const bool same = found != got.end() && found->second == reference_[raw].at(p.name);
                EXPECT_TRUE(same) << variant << ": " << p.name;
                failures += same ? 0 : 1;
            }
        }
    }
}

TEST_F(Corruption, EveryLengthCutKeepsTheWholeEntriesAndNothingElse)
{
    for (std::size_t length = 0; length < archive_.size(); ++length) {
        write_variant(std::vector<std::uint8_t>(archive_.begin(), archive_.begin() + static_cast<std::ptrdiff_t>(length)));
        for (const bool raw : {false, true}) {
            const std::string variant = "length " + std::to_string(length) + (raw ? " raw" : " converted");
            ASSERT_EQ(run(raw), 0) << variant;
            const outputs got = collect();
            expect_clean(got, variant);
            outputs want;
            for (const entry_place& p : places_) {
                if (p.end <= length) want[p.name] = reference_[raw].at(p.name);
            }
            ASSERT_EQ(got, want) << variant;
        }
    }
}

}  // namespace
