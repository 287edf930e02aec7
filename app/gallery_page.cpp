// The gallery page writer. The page's markup, style sheet and script are
// fixed here; everything else on it comes through gallery_html_text (text)
// or gallery_base64 (images) or is a number printed here.
#include "app/gallery_page.hpp"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <span>

#include "format/format.hpp"
#include "images/thumbnail.hpp"
#include "words/escape.hpp"

namespace {

// The style sheet, with the thumbnail box's side put in at "@BOX@". The
// checkerboard lies under each picture (on the image's own background), so
// transparent pixels show it and nothing outside the image does. Everything
// wraps or shrinks down to a 360 pixels wide screen: the grid's columns, a
// card (its picture above its facts), long names and commands. The body is a
// column whose order puts the entries' first problems, written after the
// cards (known only then), under the archive's lines.
constexpr std::string_view page_style = R"css(
:root { color-scheme: light dark; --bg: #ffffff; --fg: #1c1c1c; --muted: #5e5e5e; --card: #f3f3f3;
  --line: #d4d4d4; --bad: #b3001b; --check-a: #ffffff; --check-b: #cbcbcb; --box: @BOX@px; }
@media (prefers-color-scheme: dark) {
  :root { --bg: #151515; --fg: #e6e6e6; --muted: #a5a5a5; --card: #222222; --line: #3b3b3b; --bad: #ff6b6b;
    --check-a: #404040; --check-b: #2b2b2b; }
}
[hidden] { display: none !important; }
body { margin: 0; padding: 1rem; background: var(--bg); color: var(--fg);
  font: 14px/1.4 system-ui, sans-serif; display: flex; flex-direction: column; }
header { order: 1; min-width: 0; }
header:has(#problem-count.bad) { border-left: 4px solid var(--bad); padding-left: .6rem; }
#first-problems { order: 2; min-width: 0; }
#controls { order: 3; }
#cards { order: 4; }
h1 { font-size: 1.35rem; margin: 0 0 .25rem; overflow-wrap: anywhere; }
h2 { font-size: 1rem; margin: 0 0 .3rem; overflow-wrap: anywhere; }
.summary, .muted { color: var(--muted); margin: 0 0 .5rem; }
.bad { color: var(--bad); font-weight: bold; }
.problems { color: var(--bad); margin: .3rem 0; padding-left: 1.2rem; overflow-wrap: anywhere; }
#controls { display: flex; flex-wrap: wrap; gap: .5rem 1.25rem; align-items: center; margin: .75rem 0; }
#controls label { max-width: 100%; }
#filter { max-width: 100%; box-sizing: border-box; }
#cards { display: grid; gap: .75rem; min-width: 0;
  grid-template-columns: repeat(auto-fill, minmax(min(100%, calc(var(--box) + 18rem)), 1fr)); }
.card { display: flex; flex-wrap: wrap; gap: .75rem; padding: .6rem; background: var(--card);
  border: 1px solid var(--line); border-radius: 6px; min-width: 0; }
.card.damaged { border-color: var(--bad); }
.card.viewable .thumb img { cursor: zoom-in; }
.card:focus-visible { outline: 2px solid var(--fg); outline-offset: 2px; }
.thumb { flex: none; width: var(--box); height: var(--box); max-width: 100%; display: flex; align-items: center;
  justify-content: center; }
.thumb img, .view img { display: block;
  background: repeating-conic-gradient(var(--check-a) 0 25%, var(--check-b) 0 50%) 0 0 / 16px 16px; }
.thumb img { max-width: 100%; height: auto; }
img.sharp { image-rendering: pixelated; }
.thumb .none { color: var(--bad); font-size: .85rem; text-align: center; overflow-wrap: anywhere; }
.info { flex: 1 1 12rem; min-width: 0; }
.info dl { display: grid; grid-template-columns: auto 1fr; gap: 0 .6rem; margin: 0; }
.info dt { color: var(--muted); }
.info dd { margin: 0; min-width: 0; }
.index { color: var(--muted); font-weight: normal; }
.first { font-style: italic; color: var(--muted); margin: 0 0 .3rem; }
.command { display: flex; gap: .4rem; align-items: flex-start; margin-top: .4rem; }
code { flex: 1 1 auto; min-width: 0; font-size: .8rem; overflow-wrap: anywhere; user-select: all; }
button.copy { flex: none; font-size: .75rem; }
.view { padding: .75rem; border: 1px solid var(--line); border-radius: 6px; background: var(--card); color: var(--fg);
  max-width: calc(100vw - 2rem); max-height: calc(100vh - 2rem); box-sizing: border-box; }
.view::backdrop { background: rgba(0, 0, 0, .6); }
.view-bar { display: flex; gap: .75rem; justify-content: space-between; align-items: baseline; margin-bottom: .5rem;
  overflow-wrap: anywhere; }
.view .muted { margin: .4rem 0 0; }
)css";

// Filters (name contains, problems only) and sorts the cards by their data-
// attributes; opens a card's picture (a click on it, or Enter on the card) in
// a dialog at up to the texture's own size, on the checkerboard, from the
// image already on the page; copies a command. Without it the page is the
// grid in table order, controls and copy buttons hidden.
constexpr std::string_view page_script = R"js(
(function () {
  "use strict";
  var grid = document.getElementById("cards");
  var cards = Array.prototype.slice.call(grid.querySelectorAll(".card"));
  var filter = document.getElementById("filter");
  var only = document.getElementById("problems-only");
  var sort = document.getElementById("sort");
  var shown = document.getElementById("shown");
  function update() {
    var text = filter.value.toLowerCase();
    var count = 0;
    cards.forEach(function (card) {
      var show = card.dataset.name.toLowerCase().indexOf(text) !== -1 &&
        (!only.checked || card.dataset.problems !== "0");
      card.hidden = !show;
      if (show) count++;
    });
    shown.textContent = count + " of " + cards.length + " shown";
  }
  function order() {
    var by = sort.value;
    var sorted = cards.slice().sort(function (a, b) {
      if (by === "name" && a.dataset.name !== b.dataset.name) return a.dataset.name < b.dataset.name ? -1 : 1;
      if (by === "size" && a.dataset.size !== b.dataset.size) return Number(a.dataset.size) - Number(b.dataset.size);
      return Number(a.dataset.index) - Number(b.dataset.index);
    });
    var fragment = document.createDocumentFragment();
    sorted.forEach(function (card) { fragment.appendChild(card); });
    grid.appendChild(fragment);
  }
  filter.addEventListener("input", update);
  only.addEventListener("change", update);
  sort.addEventListener("change", order);
  document.getElementById("controls").hidden = false;
  order();
  update();

  function element(kind, id, className) {
    var e = document.createElement(kind);
    if (id) e.id = id;
    if (className) e.className = className;
    return e;
  }
  var view = element("dialog", "view", "view");
  var bar = element("div", "", "view-bar");
  var title = element("span", "view-title", "");
  var close = element("button", "view-close", "");
  close.type = "button";
  close.textContent = "close";
  var picture = element("img", "view-image", "");
  picture.alt = "";
  var note = element("p", "view-note", "muted");
  bar.appendChild(title);
  bar.appendChild(close);
  view.appendChild(bar);
  view.appendChild(picture);
  view.appendChild(note);
  document.body.appendChild(view);
  var opener = null;
  // The texture's own size when the window holds it (small ones enlarged by
  // a whole factor up to 512 pixels), else as large as the window holds.
  function open(card) {
    var thumb = card.querySelector(".thumb img");
    if (!thumb) return;
    var w = Number(card.dataset.width) || thumb.naturalWidth;
    var h = Number(card.dataset.height) || thumb.naturalHeight;
    var room = Math.min((window.innerWidth - 64) / w, (window.innerHeight - 128) / h);
    var scale = room >= 1 ? Math.max(1, Math.min(Math.floor(room), Math.floor(512 / Math.max(w, h)))) : room;
    picture.src = thumb.src;
    picture.width = Math.max(1, Math.round(w * scale));
    picture.height = Math.max(1, Math.round(h * scale));
    picture.classList.toggle("sharp", picture.width >= thumb.naturalWidth);
    title.textContent = "#" + card.dataset.index + " " + card.dataset.name + ", " + w + " x " + h;
    var whole = thumb.naturalWidth >= w && thumb.naturalHeight >= h;
    note.textContent = whole ? "" : "enlarged from its " + thumb.naturalWidth + " x " + thumb.naturalHeight +
      " picture: gallery --size " + Math.min(Math.max(w, h), 1024) + " holds " + (Math.max(w, h) > 1024 ? "more of it" : "it whole");
    opener = card;
    view.removeAttribute("data-ready");
    view.removeAttribute("data-closed");
    view.showModal();
    // data-ready once the picture is decoded and painted, for whoever waits
    // on the view (a test, a screen reader's script).
    var shown = picture.src;
    var decoded = picture.decode ? picture.decode() : Promise.resolve();
    decoded.catch(function () {}).then(function () {
      requestAnimationFrame(function () {
        requestAnimationFrame(function () {
          if (view.open && picture.src === shown) view.setAttribute("data-ready", "");
        });
      });
    });
  }
  close.addEventListener("click", function () { view.close(); });
  view.addEventListener("click", function (event) { if (event.target === view) view.close(); });
  // data-closed once the close is done, the focus back on its card: the
  // close event comes after the dialog has closed.
  view.addEventListener("close", function () {
    view.removeAttribute("data-ready");
    picture.removeAttribute("src");
    if (opener) opener.focus();
    view.setAttribute("data-closed", "");
  });
  cards.forEach(function (card) {
    var thumb = card.querySelector(".thumb img");
    if (!thumb) return;
    card.tabIndex = 0;
    card.classList.add("viewable");
    thumb.addEventListener("click", function () { open(card); });
    card.addEventListener("keydown", function (event) {
      if (event.key === "Enter" && event.target === card) {
        event.preventDefault();
        open(card);
      }
    });
  });

  // The clipboard from this script alone; where it is refused, the command
  // selected and copied as the reader would.
  function select_and_copy(code) {
    var range = document.createRange();
    range.selectNodeContents(code);
    var selection = window.getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
    try {
      return document.execCommand("copy");
    } catch (e) {
      return false;
    }
  }
  Array.prototype.forEach.call(document.querySelectorAll("button.copy"), function (button) {
    var code = button.parentNode.querySelector("code");
    button.hidden = false;
    button.addEventListener("click", function () {
      function said(copied) { button.textContent = copied ? "copied" : "selected"; }
      if (navigator.clipboard && navigator.clipboard.writeText) {
        navigator.clipboard.writeText(code.textContent).then(function () { said(true); },
          function () { said(select_and_copy(code)); });
      } else {
        said(select_and_copy(code));
      }
    });
  });
})();
)js";

void put(gallery_sink& sink, std::string_view text)
{
    sink.written += text.size();
    if (sink.text) {
        sink.text->append(text);
    } else if (sink.file && !sink.failed && std::fwrite(text.data(), 1, text.size(), sink.file) != text.size()) {
        sink.failed = true;
    }
}

void put_format(gallery_sink& sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
void put_format(gallery_sink& sink, const char* format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    // Only numbers and fixed words are formatted here: always far shorter.
    if (n > 0) put(sink, std::string_view(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1)));
}

// A count with thousands separated by commas.
std::string grouped(std::uint64_t n)
{
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

std::string plural(std::uint64_t n, const char* one, const char* many)
{
    return grouped(n) + " " + (n == 1 ? one : many);
}

// The problem count as the summary says it (in the problem colour when
// there is one), padded to its slot's width: the count is known only once
// every card is written, and is then written over the slot.
constexpr std::size_t problem_slot_width = 96;
std::string problem_slot(std::uint64_t count)
{
    std::string text = count == 0 ? "<span id=\"problem-count\">no problems</span>"
                                   : "<span id=\"problem-count\" class=\"bad\">" +
                                         plural(count, "problem", "problems") + "</span>";
    text.resize(problem_slot_width, ' ');
    return text;
}

std::string style_for(unsigned side)
{
    std::string style(page_style);
    const std::size_t at = style.find("@BOX@");
    style.replace(at, 5, std::to_string(side));
    return style;
}

unsigned picture_side(unsigned side)
{
    return side < 1 ? 1 : side > gallery_max_side ? gallery_max_side : side;
}

void put_problem_list(gallery_sink& sink, const std::vector<std::string>& problems, std::size_t most)
{
    if (problems.empty()) return;
    put(sink, "<ul class=\"problems\">");
    for (std::size_t k = 0; k < problems.size() && k < most; ++k) {
        put(sink, "<li>");
        put(sink, gallery_html_text(problems[k], gallery_max_problem_bytes));
        put(sink, "</li>");
    }
    if (problems.size() > most) put(sink, "<li>and " + plural(problems.size() - most, "more problem", "more problems") + "</li>");
    put(sink, "</ul>\n");
}

std::string type_words(unsigned type)
{
    if (type == 4) return "4: ARGB4444, zlib";
    if (type == 6) return "6: ARGB8888";
    return std::to_string(type) + ": unknown";
}

// A no-thumbnail reason without what repeats the card's problems: "not
// decoded: X; Y" is "not decoded" when X and Y are both listed, and a reason
// that is one of them points at the list.
std::string reason_once(const gallery_card& card)
{
    const std::string& reason = card.no_thumbnail_reason;
    const auto listed = [&](std::string_view text) {
        return std::find(card.problems.begin(), card.problems.end(), text) != card.problems.end();
    };
    if (listed(reason)) return "see its problems";
    const std::size_t colon = reason.find(": ");
    if (colon == std::string::npos) return reason;
    const std::string_view tail = std::string_view(reason).substr(colon + 2);
    if (listed(tail)) return reason.substr(0, colon);
    for (std::size_t at = 0; at <= tail.size();) {
        const std::size_t end = std::min(tail.find("; ", at), tail.size());
        if (!listed(tail.substr(at, end - at))) return reason;
        at = end + 2;
    }
    return reason.substr(0, colon);
}

// The picture in the card's box: enlarged by the largest whole factor that
// fits it, so that small textures show sharp square pixels, or shrunk to fit
// it when larger; or why there is none.
void put_thumbnail(gallery_sink& sink, const gallery_card& card)
{
    put(sink, "<div class=\"thumb\">");
    const bool fits = card.thumbnail_width >= 1 && card.thumbnail_height >= 1 &&
                      card.thumbnail_width <= sink.thumbnail_side && card.thumbnail_height <= sink.thumbnail_side;
    const bool known_type = card.thumbnail_mime == "image/webp" || card.thumbnail_mime == "image/png";
    const std::size_t cap = gallery_thumbnail_cap(sink.thumbnail_side);
    if (!card.thumbnail.empty() && card.thumbnail.size() <= cap && fits && known_type) {
        const std::uint32_t longest = std::max(card.thumbnail_width, card.thumbnail_height);
        const std::uint32_t box = sink.thumbnail_box;
        std::uint32_t w = card.thumbnail_width, h = card.thumbnail_height;
        if (longest <= box) {
            w *= box / longest;
            h *= box / longest;
        } else {
            w = std::max<std::uint32_t>(1, static_cast<std::uint32_t>((std::uint64_t{w} * box + longest / 2) / longest));
            h = std::max<std::uint32_t>(1, static_cast<std::uint32_t>((std::uint64_t{h} * box + longest / 2) / longest));
        }
        put_format(sink, "<img%s width=\"%" PRIu32 "\" height=\"%" PRIu32 "\" alt=\"\" src=\"data:%s;base64,",
                   longest <= box ? " class=\"sharp\"" : "", w, h,
                   card.thumbnail_mime == "image/png" ? "image/png" : "image/webp");
        put(sink, gallery_base64(card.thumbnail));
        put(sink, "\">");
    } else {
        std::string reason;
        if (!card.no_thumbnail_reason.empty()) {
            reason = gallery_html_text(reason_once(card), gallery_max_problem_bytes);
        } else if (card.thumbnail.size() > cap) {
            reason = "thumbnail too large to embed (" + plural(card.thumbnail.size(), "byte", "bytes") + ")";
        } else if (!card.thumbnail.empty()) {
            reason = "thumbnail not shown: not an image of the page's size and kinds";
        } else {
            reason = "no thumbnail";
        }
        put(sink, "<p class=\"none\">" + reason + "</p>");
    }
    put(sink, "</div>");
}

void put_facts(gallery_sink& sink, const gallery_card& card)
{
    put(sink, "<dl>");
    if (card.header_read) {
        put_format(sink, "<dt>size</dt><dd>%" PRIu32 " x %" PRIu32 "</dd>", card.width, card.height);
        put(sink, "<dt>type</dt><dd>" + type_words(card.type) + "</dd>");
    }
    put(sink, "<dt>payload</dt><dd>" + plural(card.payload_size, "byte", "bytes") + "</dd>");
    const char* alpha = card.transparent == 1 ? "has transparent pixels" : card.transparent == 0 ? "opaque" : "not known";
    put(sink, std::string("<dt>alpha</dt><dd>") + alpha + "</dd>");
    put(sink, "</dl>");
}

}  // namespace

void gallery_begin(gallery_sink& sink, const gallery_archive_info& archive)
{
    sink.thumbnail_side = picture_side(archive.thumbnail_side);
    sink.thumbnail_box = std::min(sink.thumbnail_side, gallery_max_box);
    const std::string style = style_for(sink.thumbnail_box);
    const std::string name = gallery_html_text(archive.name);
    put(sink, "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
    // Before anything it governs: no request of any kind, but images from
    // data: URIs and this page's own style sheet and script.
    put(sink, "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; style-src 'sha256-" +
                  gallery_sha256_base64(style) + "'; script-src 'sha256-" + gallery_sha256_base64(page_script) +
                  "'; base-uri 'none'; form-action 'none'\">\n");
    put(sink, "<meta name=\"referrer\" content=\"no-referrer\">\n<meta name=\"color-scheme\" content=\"light dark\">\n"
              "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
    put(sink, "<title>" + name + " - morvex_tex gallery</title>\n<style>");
    put(sink, style);
    put(sink, "</style>\n</head>\n<body>\n<header>\n<h1>" + name + "</h1>\n");
    put(sink, "<p class=\"summary\">" + plural(archive.size, "byte", "bytes") + ", " +
                  plural(archive.count, "entry", "entries") + ", ");
    sink.count_at = sink.written;
    put(sink, problem_slot(archive.problem_count) + "</p>\n");
    put_problem_list(sink, archive.problems, gallery_max_archive_problems);
    put(sink, "</header>\n<div id=\"controls\" hidden>\n"
              "<label>Name contains <input id=\"filter\" type=\"search\" autocomplete=\"off\" spellcheck=\"false\"></label>\n"
              "<label><input id=\"problems-only\" type=\"checkbox\"> problems only</label>\n"
              "<label>Sort by <select id=\"sort\"><option value=\"index\">index</option>"
              "<option value=\"name\">name</option><option value=\"size\">payload size</option></select></label>\n"
              "<span id=\"shown\" class=\"muted\"></span>\n</div>\n<main id=\"cards\">\n");
}

namespace {

// A command to copy, with its button (shown by the script).
void put_command(gallery_sink& sink, const std::string& command)
{
    if (command.empty()) return;
    put(sink, "<div class=\"command\"><code>");
    put(sink, command.size() <= gallery_max_command_bytes ? gallery_html_text(command)
                                                           : std::string("(the command is too long to show)"));
    put(sink, "</code><button type=\"button\" class=\"copy\" hidden>copy</button></div>\n");
}

// The card's problems as the top of the page lists the first of them, in the
// words of `test`: "entry 3 (name): problem".
void note_first_problems(gallery_sink& sink, const gallery_card& card, const std::string& name)
{
    sink.entry_problems += card.problems.size();
    for (const std::string& problem : card.problems) {
        if (sink.first_problems.size() >= gallery_max_first_problems) break;
        sink.first_problems.push_back("entry " + std::to_string(card.index) + " (" + (card.header_read ? name : "-") +
                                      "): " + gallery_html_text(problem, gallery_max_problem_bytes));
    }
}

}  // namespace

void gallery_card_write(gallery_sink& sink, const gallery_card& card)
{
    const std::string name = gallery_html_text(card.name, gallery_max_name_bytes);
    put_format(sink, "<article class=\"card%s\" id=\"entry-%" PRIu32 "\" data-index=\"%" PRIu32
                     "\" data-size=\"%" PRIu32 "\" data-problems=\"%zu\"",
               card.problems.empty() ? "" : " damaged", card.index, card.index, card.payload_size,
               card.problems.size());
    if (card.header_read) {
        put_format(sink, " data-width=\"%" PRIu32 "\" data-height=\"%" PRIu32 "\"", card.width, card.height);
    }
    put(sink, " data-name=\"" + name + "\">\n");
    put_thumbnail(sink, card);
    put_format(sink, "<div class=\"info\">\n<h2><span class=\"index\">#%" PRIu32 "</span> <span class=\"name\">",
               card.index);
    put(sink, name + "</span></h2>\n");
    if (card.first) put(sink, "<p class=\"first\">the archive's first entry, never extracted</p>\n");
    if (!card.header_read) put(sink, "<p class=\"first\">its header can't be read: the table's fields only</p>\n");
    put_facts(sink, card);
    put_problem_list(sink, card.problems, gallery_max_problems);
    put_command(sink, card.extract_command);
    put_command(sink, card.extract_png_command);
    put(sink, "</div>\n</article>\n");
    note_first_problems(sink, card, name);
}

int gallery_end(gallery_sink& sink, std::optional<std::uint64_t> problem_count)
{
    put(sink, "</main>\n");
    if (sink.entry_problems > 0) {
        put(sink, "<section id=\"first-problems\" aria-label=\"the first problems\"><ul class=\"problems\">");
        for (const std::string& line : sink.first_problems) put(sink, "<li>" + line + "</li>");
        if (sink.entry_problems > sink.first_problems.size()) {
            put(sink, "<li>and " + plural(sink.entry_problems - sink.first_problems.size(), "more problem", "more problems") +
                          " on the cards</li>");
        }
        put(sink, "</ul></section>\n");
    }
    put(sink, "<script>");
    put(sink, page_script);
    put(sink, "</script>\n</body>\n</html>\n");
    if (sink.file && !sink.failed && std::fflush(sink.file) != 0) sink.failed = true;
    if (sink.file && std::ferror(sink.file)) sink.failed = true;
    if (problem_count && !sink.failed) {
        const std::string slot = problem_slot(*problem_count);
        if (sink.text) {
            sink.text->replace(static_cast<std::size_t>(sink.count_at), slot.size(), slot);
        } else if (sink.file && tex_pwrite(fileno(sink.file), std::span(reinterpret_cast<const std::uint8_t*>(slot.data()),
                                                                        slot.size()),
                                           sink.count_at) != 0) {
            sink.failed = true;
        }
    }
    return sink.failed ? -1 : 0;
}
