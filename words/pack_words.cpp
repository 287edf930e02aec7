// The packer's phrase book: every note and entry of a pack/ result in the
// words morvex_tex_pack and morvex_tex say them, names and paths escaped for
// the terminal.
#include "words/escape.hpp"
#include "words/pack_words.hpp"
#include "words/words.hpp"

#include <cstdio>
#include <cstring>

namespace {

using u64 = unsigned long long;

std::string shown(const std::string& text)
{
    return tex_printable_name(text);
}

unsigned u(std::uint64_t v)
{
    return static_cast<unsigned>(v);
}

std::string output_refusal_text(const pack_note& n, const char* p)
{
    switch (static_cast<path_refusal>(n.a)) {
    case path_refusal::none: break;
    case path_refusal::input: return format_text("%s: the output must be another file than the files it is made from", p);
    case path_refusal::other_kind: return format_text("%s: exists and is not a TEX archive: not replaced (--force replaces it)", p);
    case path_refusal::image_name: return format_text("%s: named like an image: no archive is written there (--force writes it)", p);
    case path_refusal::folder: return format_text("%s: is a folder", p);
    case path_refusal::terminal: return format_text("%s: standard output is a terminal: no archive is written there", p);
    }
    return format_text("%s: refused", p);
}

// "entry 4 (badge.tga): ", or "" for the archive as a whole.
std::string where(const pack_note& n)
{
    if (!n.entry) return "";
    return "entry " + std::to_string(*n.entry) + " (" + (n.name ? shown(*n.name) : "-") + "): ";
}

}  // namespace

std::string pack_note_text(const pack_note& n)
{
    using k = pack_note_kind;
    const std::string path = shown(n.path), other = shown(n.other), name = shown(n.name.value_or(""));
    const char* p = path.c_str();
    const unsigned entry = n.entry.value_or(0);
    // A NAME given is blamed as such, not the image it was given for.
    const std::string named = n.name_given ? format_text("%s (the NAME given for %s)", name.c_str(), p) : path;
    const char* s = named.c_str();
    switch (n.kind) {
    case k::image_unreadable:
    case k::image_undecodable:
    case k::folder_unreadable: return format_text("%s: %s", p, n.detail.c_str());
    case k::name_empty:
        return n.name_given ? format_text("%s: the NAME given is empty", p) : format_text("%s: no file name to store it under", p);
    case k::name_too_long:
        if (n.c) {
            return format_text("%s: its path inside the folder, %s, is %llu bytes long; an entry's name holds at most 32%s", p,
                               name.c_str(), static_cast<u64>(n.a), n.b ? " (IMAGE=NAME stores it under another)" : "");
        }
        return format_text("%s: its name is %llu bytes long; an entry's name holds at most 32%s", s, static_cast<u64>(n.a),
                           n.b ? " (IMAGE=NAME stores it under another)" : "");
    case k::name_refused:
        if (n.name_given) return format_text("%s: %s", s, name_problem_text(static_cast<name_problem>(n.a), false));
        return format_text("%s: can't be stored as %s: %s", p, name.c_str(), name_problem_text(static_cast<name_problem>(n.a), false));
    case k::name_not_plain: {
        const std::string why = n.a == 0 ? "its folders are split another way"
                                         : format_text(n.b ? "part %u of it is \".\"" : "part %u of it is empty", u(n.a));
        const std::string fix = n.other_name.empty() ? "" : " (store it as " + shown(n.other_name) + ")";
        if (n.name_given) return format_text("%s: %s%s", s, why.c_str(), fix.c_str());
        return format_text("%s: can't be stored as %s: %s%s", p, name.c_str(), why.c_str(), fix.c_str());
    }
    case k::name_no_format:
        return format_text("%s: unknown image format (the name must end in %s)", s, image_format_list(".").c_str());
    case k::name_exists:
        return format_text("%s: %s has an entry named %s already%s", s, other.c_str(), name.c_str(),
                           n.name_given ? "" : " (replace puts an image into it)");
    case k::no_entry_matches: {
        std::string hint;
        if (n.b > 0) {
            hint = "; with --ignore-case it matches " + shown(n.other_name);
            if (n.b > 1) hint += format_text(" and %llu more", static_cast<u64>(n.b - 1));
        } else if (n.a) {
            hint = " but the first entry, which is never deleted";
        }
        return format_text("%s: no entry matches %s%s", p, name.c_str(), hint.c_str());
    }
    case k::no_entry_named:
        return format_text("%s: no entry named %s%s", p, name.c_str(), n.a ? " but the first, which is never renamed" : "");
    case k::names_collide: return format_text("%s and %s would both be stored as %s", other.c_str(), p, name.c_str());
    case k::no_entry:
        return format_text("%s: %s has no entry named %s%s", p, other.c_str(), name.c_str(),
                           n.a ? " but its first, which is always kept" : "");
    case k::stems_ambiguous:
        return format_text("%s: %s has entries %s and %s of the same stem: name one with IMAGE=NAME", p, other.c_str(),
                           name.c_str(), shown(n.other_name).c_str());
    case k::entry_not_image:
        return format_text("%s: entry %u of %s has type %u; only types 4 and 6 hold images", p, entry, other.c_str(), u(n.a));
    case k::type_not_image: return format_text("%s: type %u: only types 4 and 6 hold images", p, u(n.a));
    case k::level_not_offered:
        return format_text("%s: level %lld: the levels are %d to %d", p, static_cast<long long>(n.a), pack_level_fastest, pack_level_best);
    case k::folder_empty: return format_text("%s: no PNG, TGA, BMP, PCX, JPEG or WebP image beneath it", p);
    case k::output_is_image: return format_text("%s: the output must be another file than the images it is made from", p);
    case k::output_refused: return output_refusal_text(n, p);
    case k::output_unopened: return format_text("%s: can't create it: %s", p, std::strerror(n.error));
    case k::too_many_entries: return format_text("%s: %u entries are more than a TEX archive can address", p, u(n.a));
    case k::too_large: return format_text("%s: the entries add up to more than a TEX archive can address", p);
    case k::write_failed: return format_text("%s: can't write it: %s", p, std::strerror(n.error));
    case k::archive_changed: return format_text("%s changed while it was being edited; nothing written", p);
    case k::stopped: return format_text("%s: stopped; nothing written", p);
    case k::source_unopened: return format_text("%s: %s", p, std::strerror(n.error));
    case k::source_no_memory: return format_text("%s: can't hold the order of its %u table records in memory", p, u(n.a));
    case k::source_not_tex: return format_text("%s: not a TEX version 3 archive", p);
    case k::source_finding:
        return format_text("%s: %s%s: it can't be kept byte for byte", p, where(n).c_str(),
                           n.findings.empty() ? "" : finding_text(n.findings[0]).c_str());
    case k::source_findings_more:
        return format_text("%s: %s more (`morvex_tex test` lists them all)", p, counted(n.a, "problem", "problems").c_str());
    case k::alpha_dropped:
        return format_text("warning: %s: the file carries no alpha; entry %u had some and is stored fully opaque", p, entry);
    case k::size_changed:
        return format_text("warning: %s: %u x %u pixels replace the %u x %u of entry %u", p, u(n.a), u(n.b), u(n.c), u(n.d), entry);
    case k::archive_replaced:
        return format_text("%s: %s an archive of %llu %s (add or update puts images into an archive)", p,
                           n.b ? "would replace" : "replaced", static_cast<u64>(n.a), n.a == 1 ? "entry" : "entries");
    case k::archive_exists:
        return format_text("%s: is a TEX archive of %llu %s already: not replaced (add or update puts images into it; -f "
                           "replaces it)", p, static_cast<u64>(n.a), n.a == 1 ? "entry" : "entries");
    case k::nothing_changed:
        return format_text("%s: every image is what its entry holds already: %s", p, n.b ? "nothing would change" : "left as it was");
    case k::file_skipped: return format_text("%s: skipped: not named like a PNG, TGA, BMP, PCX, JPEG or WebP image", p);
    case k::folder_skipped:
        return format_text("%s: %llu file%s skipped beneath it, not named like images (-v lists them)", p, static_cast<u64>(n.a),
                           n.a == 1 ? "" : "s");
    case k::stored_as_png:
        return format_text("warning: %s: stored as %s%s (a TEX archive names PNG, TGA, BMP or PCX images; IMAGE=NAME "
                           "chooses)", p, name.c_str(),
                           n.a == 0 ? "" : format_text(", and %llu more JPEG or WebP image%s under %s and .png",
                                                      static_cast<u64>(n.a), n.a == 1 ? "" : "s",
                                                      n.a == 1 ? "its stem" : "their stems").c_str());
    case k::kept_undecodable: {
        std::string reasons;
        for (const std::string& r : finding_texts(n.findings)) reasons += (reasons.empty() ? "" : "; ") + r;
        return format_text("warning: %s: entry %u (%s) kept as stored, though it can't be extracted: %s", p, entry,
                           name.c_str(), reasons.c_str());
    }
    }
    return path;
}

std::string pack_entry_line(const pack_entry& e, bool dry_run, unsigned index_width)
{
    std::string what;
    switch (e.fate) {
    case pack_fate::placeholder: what = "placeholder"; break;
    case pack_fate::added: what = "from " + e.from; break;
    case pack_fate::kept: what = "kept"; break;
    case pack_fate::replaced: what = "replaced from " + e.from; break;
    case pack_fate::unchanged: what = "unchanged in " + e.from; break;
    case pack_fate::deleted: what = "deleted"; break;
    case pack_fate::renamed: what = "renamed from " + e.from; break;
    }
    // The index padded to the table's widest, so that the columns hold
    // from entry 10 on.
    const std::string index = std::to_string(e.index);
    const std::string pad(index.size() < index_width ? index_width - index.size() : 0, ' ');
    char line[256];
    std::snprintf(line, sizeof line, "entry %s%s: %-32s type %u  %5u x %-5u %10llu bytes  %s", pad.c_str(), index.c_str(),
                  shown(e.name).c_str(), e.type, e.width, e.height, static_cast<u64>(e.payload_size), dry_run ? "would be " : "");
    return line + shown(what) + "\n";
}

bool pack_note_refuses_like_usage(const pack_note& n)
{
    if (n.kind == pack_note_kind::archive_exists) return true;
    if (n.kind != pack_note_kind::output_refused) return false;
    const auto why = static_cast<path_refusal>(n.a);
    return why != path_refusal::none && why != path_refusal::input;
}
