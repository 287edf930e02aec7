// Micro-benchmarks of the two decoders and of saving, in Mpixel/s:
//   type 4: inflation (zlib's uncompress against libdeflate, the one in use)
//           and widening ARGB4444 (the branch-free loop against a per-pixel
//           table walk), then both together as the extractor runs them;
//   type 6: reordering ARGB8888;
//   saving a 1024 x 1024 texture through the library's savers (TGA, BMP, PCX,
//   and PNG at every zlib level, with file sizes), against the project's
//   writers of all four formats into a descriptor (PNG per level and filter).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#define ALLEGRO_NO_MAGIC_MAIN  // our main is an ordinary one
#include <allegro.h>
#include <loadpng.h>

#include "bench/textures.hpp"
#include "entries/entries.hpp"
#include "format/writer.hpp"
#include "images/png_writer.hpp"

namespace {

struct type4_texture {
    std::uint32_t width, height;
    std::vector<std::uint8_t> raw;     // ARGB4444, little-endian
    std::vector<std::uint8_t> stream;  // zlib, level 6 as in the archives
};

const type4_texture& texture4(std::uint32_t side)
{
    static type4_texture cache[2];
    type4_texture& t = cache[side == 1024 ? 0 : 1];
    if (t.raw.empty()) {
        const auto px = bench::argb4444_texture(side, side, 3);
        t.width = t.height = side;
        t.raw.resize(px.size() * 2);
        for (std::size_t k = 0; k < px.size(); ++k) tex_put_le16(t.raw, 2 * k, px[k]);
        t.stream = tex_make_type4_payload(px, 6);
    }
    return t;
}

void count_pixels(benchmark::State& state, std::size_t pixels)
{
    state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(pixels) / 1e6,
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

// The per-pixel table walk the branch-free loop replaced, for comparison.
void widen_by_table(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst)
{
    for (std::size_t k = 0; k < dst.size(); ++k) {
        const unsigned p = src[2 * k] | src[2 * k + 1] << 8;
        const auto level = [&](unsigned shift) {
            return static_cast<std::uint32_t>(nibble_levels[(p >> shift) & 15]);
        };
        dst[k] = level(12) << 24 | level(8) << 16 | level(4) << 8 | level(0);
    }
}

void BM_Type4Widen(benchmark::State& state)
{
    const type4_texture& t = texture4(static_cast<std::uint32_t>(state.range(0)));
    std::vector<std::uint32_t> out(std::size_t{t.width} * t.height);
    for (auto _ : state) {
        widen_argb4444(t.raw, out);
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type4Widen)->Arg(1024)->Arg(256);

void BM_Type4WidenByTable(benchmark::State& state)
{
    const type4_texture& t = texture4(static_cast<std::uint32_t>(state.range(0)));
    std::vector<std::uint32_t> out(std::size_t{t.width} * t.height);
    for (auto _ : state) {
        widen_by_table(t.raw, out);
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type4WidenByTable)->Arg(1024);

void BM_Type4InflateZlib(benchmark::State& state)
{
    const type4_texture& t = texture4(1024);
    std::vector<std::uint8_t> out(t.raw.size());
    for (auto _ : state) {
        uLongf len = static_cast<uLongf>(out.size());
        if (uncompress(out.data(), &len, t.stream.data(), static_cast<uLong>(t.stream.size())) != Z_OK)
            state.SkipWithError("uncompress failed");
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size() / 2);
}
BENCHMARK(BM_Type4InflateZlib);

void BM_Type4Inflate(benchmark::State& state)
{
    const type4_texture& t = texture4(1024);
    std::vector<std::uint8_t> out(t.raw.size() * 3);  // the extractor's room: 6 bytes a pixel
    for (auto _ : state) {
        std::size_t produced = 0;
        if (inflate_zlib(t.stream, out, produced) != 0) state.SkipWithError("inflation failed");
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, t.raw.size() / 2);
}
BENCHMARK(BM_Type4Inflate);

// The whole type-4 decoder as the extractor runs it: inflate, then widen.
void BM_Type4Decode(benchmark::State& state)
{
    const type4_texture& t = texture4(static_cast<std::uint32_t>(state.range(0)));
    std::vector<std::uint8_t> inflated(t.raw.size() * 3);
    std::vector<std::uint32_t> out(std::size_t{t.width} * t.height);
    for (auto _ : state) {
        std::size_t produced = 0;
        if (inflate_zlib(t.stream, inflated, produced) != 0) state.SkipWithError("inflation failed");
        widen_argb4444({inflated.data(), produced}, out);
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type4Decode)->Arg(1024)->Arg(256);

void BM_Type6Convert(benchmark::State& state)
{
    const auto px = bench::argb8888_texture(512, 512, 5);
    const std::vector<std::uint8_t> raw = tex_make_type6_payload(px);
    std::vector<std::uint32_t> out(px.size());
    for (auto _ : state) {
        convert_argb8888(raw, out);
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type6Convert);

// ---------------------------------------------------------------------------
// Saving one decoded 1024 x 1024 texture into a scratch folder.

struct save_fixture {
    image32 image;
    std::filesystem::path dir;
};

bool saving_started = false;

// The graphics library, started without any display, with the pixel layout
// the project's images have, so that its savers read them as they are.
bool start_library()
{
    if (install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) return false;
    register_png_file_type();
    _rgb_r_shift_32 = 16;
    _rgb_g_shift_32 = 8;
    _rgb_b_shift_32 = 0;
    _rgb_a_shift_32 = 24;
    return true;
}

save_fixture& saving()
{
    static save_fixture f = [] {
        saving_started = true;
        save_fixture s;
        const type4_texture& t = texture4(1024);
        if (!start_library() || !make_image32(t.width, t.height, s.image)) return s;
        for (std::uint32_t y = 0; y < t.height; ++y) {
            const std::span<const std::uint8_t> row(t.raw.data() + std::size_t{y} * t.width * 2, t.width * 2);
            widen_argb4444(row, s.image.row(y));
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "morvex-bench.XXXXXX").string();
        if (mkdtemp(pattern.data())) s.dir = pattern;
        return s;
    }();
    return f;
}

// The library's saver for the name's format, from a bitmap of the image.
int save_with_library(const image32& image, const std::string& path)
{
    BITMAP* b = create_bitmap_ex(32, static_cast<int>(image.width), static_cast<int>(image.height));
    if (!b) return -1;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(b->line[y], image.row(y).data(), std::size_t{image.width} * 4);
    }
    const int rc = save_bitmap(path.c_str(), b, nullptr);
    destroy_bitmap(b);
    return rc == 0 ? 0 : -1;
}

// The project's writer for the name's format, into the file at `path`.
int save_with_writer(const image32& image, const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const int rc = write_image(fd, image_format_for(path), view_of(image));
    return close(fd) == 0 ? rc : -1;
}

void run_save(benchmark::State& state, const char* name, bool library, int png_level)
{
    save_fixture& f = saving();
    if (!f.image.pixels || f.dir.empty()) {
        state.SkipWithError("the graphics library didn't start");
        return;
    }
    _png_compression_level = png_level;
    const std::string path = (f.dir / name).string();
    for (auto _ : state) {
        if ((library ? save_with_library(f.image, path) : save_with_writer(f.image, path)) != 0)
            state.SkipWithError("saving failed");
    }
    count_pixels(state, 1024 * 1024);
    std::error_code ec;
    state.counters["file_KiB"] = static_cast<double>(std::filesystem::file_size(path, ec)) / 1024;
    std::filesystem::remove(path, ec);
}

void BM_SaveTga(benchmark::State& state) { run_save(state, "x.tga", false, 1); }
void BM_SaveTgaLibrary(benchmark::State& state) { run_save(state, "x.tga", true, 1); }
void BM_SaveBmpLibrary(benchmark::State& state) { run_save(state, "x.bmp", true, 1); }
void BM_SavePcxLibrary(benchmark::State& state) { run_save(state, "x.pcx", true, 1); }
void BM_SavePngLevel(benchmark::State& state) { run_save(state, "x.png", true, static_cast<int>(state.range(0))); }
BENCHMARK(BM_SaveTga)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// The project's writers alone, each run into a fresh unnamed file in the
// scratch folder (as outputs are made), on the benchmark's three kinds of
// texture: type 4 of 1024 x 1024 (range 0), type 4 of 256 x 256 (1) and
// type 6 of 512 x 512 (2).

struct writer_texture {
    std::vector<std::uint32_t> pixels;  // 0xAARRGGBB
    image_view view;
};

const writer_texture& texture_to_write(std::int64_t kind)
{
    static writer_texture cache[3];
    writer_texture& t = cache[kind];
    if (t.pixels.empty()) {
        const unsigned side = kind == 0 ? 1024 : kind == 1 ? 256 : 512;
        if (kind == 2) {
            t.pixels = bench::argb8888_texture(side, side, 5);
        } else {
            // The archive's seeds: 0.. for the large ones, 1000.. for the small.
            const auto px = bench::argb4444_texture(side, side, kind == 0 ? 3 : 1003);
            std::vector<std::uint8_t> raw(px.size() * 2);
            for (std::size_t k = 0; k < px.size(); ++k) tex_put_le16(raw, 2 * k, px[k]);
            t.pixels.resize(px.size());
            widen_argb4444(raw, t.pixels);
        }
        t.view = image_view{side, side, side, t.pixels.data()};
    }
    return t;
}

const char* texture_label(std::int64_t kind)
{
    return kind == 0 ? "type4 1024" : kind == 1 ? "type4 256" : "type6 512";
}

void run_writer(benchmark::State& state, std::int64_t kind,
                const std::function<int(int fd, image_view image)>& writer)
{
    save_fixture& f = saving();
    if (f.dir.empty()) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const writer_texture& t = texture_to_write(kind);
    off_t size = 0;
    for (auto _ : state) {
        const int fd = open(f.dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0 || writer(fd, t.view) != 0) state.SkipWithError("writing failed");
        if (fd >= 0) {
            size = lseek(fd, 0, SEEK_CUR);
            close(fd);
        }
    }
    state.SetLabel(texture_label(kind));
    count_pixels(state, std::size_t{t.view.width} * t.view.height);
    state.counters["file_KiB"] = static_cast<double>(size) / 1024;
}

void BM_WriteTga(benchmark::State& state) { run_writer(state, state.range(0), write_tga); }
void BM_WriteBmp(benchmark::State& state) { run_writer(state, state.range(0), write_bmp); }
void BM_WritePcx(benchmark::State& state) { run_writer(state, state.range(0), write_pcx); }
BENCHMARK(BM_WriteTga)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBmp)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePcx)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveTgaLibrary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveBmpLibrary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePcxLibrary)->Unit(benchmark::kMillisecond);

// PNG: libdeflate's level (range 1) and the row filter (range 2, by its number
// in the file) on each texture kind (range 0); write_png's choice is
// png_default_settings.
void BM_WritePng(benchmark::State& state)
{
    const png_settings settings{static_cast<int>(state.range(1)), 3, static_cast<png_row_filter>(state.range(2)),
                                false};
    run_writer(state, state.range(0), [&](int fd, image_view image) { return write_png_with(fd, image, settings); });
}
BENCHMARK(BM_WritePng)
    ->ArgsProduct({{0, 1, 2}, {1, 2, 3, 4, 6}, {0, 1, 2, 3, 4}})
    ->ArgNames({"texture", "level", "filter"})
    ->Unit(benchmark::kMillisecond);

// The streaming path (images above the cap) at zlib's levels, "sub" filter.
void BM_WritePngStreaming(benchmark::State& state)
{
    const png_settings settings{1, static_cast<int>(state.range(0)), png_row_filter::sub, true};
    run_writer(state, 0, [&](int fd, image_view image) { return write_png_with(fd, image, settings); });
}
BENCHMARK(BM_WritePngStreaming)->DenseRange(1, 4)->ArgName("zlib_level")->Unit(benchmark::kMillisecond);

// The library's PNG add-on at zlib's levels, adaptive filters.
BENCHMARK(BM_SavePngLevel)->DenseRange(1, 9)->Unit(benchmark::kMillisecond)->MinTime(0.3);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    if (saving_started && !saving().dir.empty()) std::filesystem::remove_all(saving().dir, ec);
    return 0;
}
