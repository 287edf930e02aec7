// Micro-benchmarks of the two decoders and of saving, in Mpixel/s:
//   type 4: inflation (zlib's uncompress against libdeflate, the one in use)
//           and widening ARGB4444 (the branch-free loop against a per-pixel
//           table walk), then both together as the extractor runs them;
//   type 6: reordering ARGB8888;
//   saving a 1024 x 1024 texture: the project's TGA writer against the
//   library's saver, BMP, PCX, and PNG at every zlib level (with file sizes).
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#define ALLEGRO_NO_MAGIC_MAIN  // our main is an ordinary one
#include <allegro.h>
#include <loadpng.h>

#include "bench/textures.hpp"
#include "extract/extract.hpp"
#include "tex/tex.hpp"

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
void widen_by_table(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, pixel_layout l)
{
    for (std::size_t k = 0; k < dst.size(); ++k) {
        const unsigned p = src[2 * k] | src[2 * k + 1] << 8;
        const auto level = [&](unsigned shift) {
            return static_cast<std::uint32_t>(nibble_levels[(p >> shift) & 15]);
        };
        dst[k] = level(12) << l.a_shift | level(8) << l.r_shift | level(4) << l.g_shift | level(0) << l.b_shift;
    }
}

void BM_Type4Widen(benchmark::State& state)
{
    const type4_texture& t = texture4(static_cast<std::uint32_t>(state.range(0)));
    std::vector<std::uint32_t> out(std::size_t{t.width} * t.height);
    for (auto _ : state) {
        widen_argb4444(t.raw, out, pixel_layout{16, 8, 0, 24});
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type4Widen)->Arg(1024)->Arg(256);

// Any other layout of the 32-bit pixel goes through the general loop.
void BM_Type4WidenOtherLayout(benchmark::State& state)
{
    const type4_texture& t = texture4(1024);
    std::vector<std::uint32_t> out(std::size_t{t.width} * t.height);
    for (auto _ : state) {
        widen_argb4444(t.raw, out, pixel_layout{0, 8, 16, 24});
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type4WidenOtherLayout);

void BM_Type4WidenByTable(benchmark::State& state)
{
    const type4_texture& t = texture4(static_cast<std::uint32_t>(state.range(0)));
    std::vector<std::uint32_t> out(std::size_t{t.width} * t.height);
    for (auto _ : state) {
        widen_by_table(t.raw, out, pixel_layout{0, 8, 16, 24});
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
        widen_argb4444({inflated.data(), produced}, out, pixel_layout{0, 8, 16, 24});
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
        convert_argb8888(raw, out, pixel_layout{0, 8, 16, 24});
        benchmark::DoNotOptimize(out.data());
    }
    count_pixels(state, out.size());
}
BENCHMARK(BM_Type6Convert);

// ---------------------------------------------------------------------------
// Saving one decoded 1024 x 1024 texture into a scratch folder.

struct save_fixture {
    image32_ptr image;
    std::filesystem::path dir;
};

bool saving_started = false;

save_fixture& saving()
{
    static save_fixture f = [] {
        saving_started = true;
        save_fixture s;
        if (start_image_library() != 0) return s;
        const type4_texture& t = texture4(1024);
        s.image = create_image32(t.width, t.height);
        for (std::uint32_t y = 0; y < t.height; ++y) {
            const std::span<const std::uint8_t> row(t.raw.data() + std::size_t{y} * t.width * 2, t.width * 2);
            widen_argb4444(row, image_row(*s.image, y), image_pixel_layout());
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "morvex-bench.XXXXXX").string();
        if (mkdtemp(pattern.data())) s.dir = pattern;
        return s;
    }();
    return f;
}

void run_save(benchmark::State& state, const char* name, bool library, int png_level)
{
    save_fixture& f = saving();
    if (!f.image || f.dir.empty()) {
        state.SkipWithError("the graphics library didn't start");
        return;
    }
    _png_compression_level = png_level;
    const std::string path = (f.dir / name).string();
    for (auto _ : state) {
        if ((library ? save_image_with_library(*f.image, path) : save_image(*f.image, path)) != 0)
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

// The TGA writer alone, rows in memory already in the file's byte order (as
// the extractor lays them out) or in another order that it converts.
void BM_WriteTgaRows(benchmark::State& state)
{
    const bool as_file = state.range(0) != 0;
    const pixel_layout layout = as_file ? pixel_layout{16, 8, 0, 24} : pixel_layout{0, 8, 16, 24};
    const type4_texture& t = texture4(1024);
    std::vector<std::uint32_t> pixels(std::size_t{t.width} * t.height);
    widen_argb4444(t.raw, pixels, layout);
    std::vector<const std::uint32_t*> rows(t.height);
    for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = &pixels[y * t.width];
    const std::string path = (std::filesystem::temp_directory_path() / "morvex-bench-rows.tga").string();
    for (auto _ : state) {
        if (write_tga32(path.c_str(), t.width, rows, layout) != 0) state.SkipWithError("writing failed");
    }
    count_pixels(state, pixels.size());
    std::error_code ec;
    std::filesystem::remove(path, ec);
}
BENCHMARK(BM_WriteTgaRows)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveTgaLibrary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveBmpLibrary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePcxLibrary)->Unit(benchmark::kMillisecond);
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
