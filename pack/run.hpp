// What create and replace share: the result a run fills in, and the archive
// it writes into the output layer's named output (on a dry run, a sink that
// only counts). Inside pack/ only.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "entries/ordered.hpp"
#include "pack/pack.hpp"
#include "pack/source.hpp"

struct named_image {
    pack_image_arg arg;
    std::string name;  // the stored name it is written or matched under; empty when refused
    bool refused = false;
    bool in_folder = false;  // found beneath a FOLDER given: arg.name is its path inside it
};

struct pack_run {
    pack_run(const pack_request& r, pack_result& res) : request(r), result(res) {}
    const pack_request& request;
    pack_result& result;
    std::unique_ptr<pack_pending> out;
    // When the output is the source's own file: the file it is (a link
    // followed), which the copy replaces, and the source's descriptor, whose
    // owner and permissions the copy takes.
    std::string place;
    int owner_of = -1;
    unique_fd lock;                   // ... held from before it is read
    std::optional<file_state> edited; // ... as it was read
    // The JPEG and WebP images stored under .png names, said when the run goes through.
    std::optional<pack_note> png_names;
};

// An image's turn: read, decoded and made into its entry's payload on a
// worker (nothing there touches the run), then written, or refused, on the
// calling thread in table order.
struct image_job {
    const named_image* image = nullptr;
    bool loaded = false;
    pack_note_kind refusal = pack_note_kind::image_unreadable;  // when not loaded
    std::string reason;                                         // ... and why
    int error = 0;                                              // ... errno, when the system said no
    std::uint16_t width = 0, height = 0;
    bool has_alpha = false;
    pack_payload payload;
    // What went wrong that is no refusal of the image (out of memory), to
    // be thrown again on the calling thread, as from a run on one thread.
    std::exception_ptr failure;
};

// On a worker: reads and decodes the image; the file's own extension picks
// the format a signature doesn't, and a file named without one borrows its
// stored name's. 0, or -1 with the job's refusal set.
int read_image(image_job& job, pack_image& out);

// On a worker: the payload of `type` made from the image the job read (it
// throws when it can't be). The bytes the job keeps.
std::uint64_t make_payload(image_job& job, pack_image& image, std::uint8_t type, int level);

// On a worker: reads the image and makes its payload of `type`. The bytes the
// job keeps.
std::uint64_t make_image_payload(image_job& job, std::uint8_t type, int level);

// On the calling thread: the note of an image the job couldn't read (or its
// failure thrown again).
void refuse_image(pack_run& run, const image_job& job);

// The run's workers, and how they hand back results.
ordered_options pack_workers(const pack_request& request);

// A note about `path`, where the run has come to; a refused image's is
// counted.
pack_note& add_note(pack_run& run, pack_note_kind kind, const std::string& path);
void add_note(pack_run& run, pack_note note);

// Refuses an output that is one of the images, whatever path leads to it
// (forced or not). -1 after saying so.
int check_output_is_no_image(pack_run& run, const std::vector<named_image>& images);

// Refuses, before anything is written, files that can't be images (missing,
// not regular, too large), and two images under one name. -1 when the run
// stops (a dry run goes on).
int check_files(pack_run& run, std::vector<named_image>& images);
int check_unique(pack_run& run, std::vector<named_image>& images);

// What the run reads, by identity: the output layer refuses to write over
// any of them when it opens the output, should one appear there meanwhile.
std::vector<file_identity> inputs_of(const std::vector<named_image>& images, const std::string& archive = "");

// The type and level asked for, checked (the type only when `type_used`).
// -1 after saying why not.
int check_settings(pack_run& run, bool type_used);

// Opens the source archive, and notes whether the output is its own file, to
// be edited in place. -1 after saying why it can't be copied.
int open_source(pack_run& run, pack_source& source, const std::function<bool(const tex_entry_view&)>& dropped = {});

// The images and the source, but not a source the run edits in place.
std::vector<file_identity> run_inputs(const pack_run& run, const std::vector<named_image>& images);

// Opens the output for `count` entries (on a dry run, only counts). -1 after
// saying why not.
int begin_output(pack_run& run, std::uint32_t count, std::vector<file_identity> inputs);

// Adds an entry to the archive. -1 after saying why not.
int add_entry(pack_run& run, std::span<const std::uint8_t, tex_entry_header_size> header,
              const std::function<int(tex_payload_out&)>& payload);

// Lists an entry as written.
void list_entry(pack_run& run, std::uint32_t index, const std::string& name, std::uint8_t type, std::uint16_t width,
                std::uint16_t height, std::uint64_t size, pack_fate fate, const std::string& from = "");

// The run went through: the archive waits in the result for its header and
// its place (a dry run's is dropped). 0.
int finish_run(pack_run& run, std::array<std::uint8_t, 3> signature, std::uint32_t second_word);

// The images, with every FOLDER among them given as the images beneath it
// (PNG, TGA, BMP and PCX files, by their extension), named by their paths
// inside it, in sorted order so that the archive is the same on every run.
// -1 after saying why a folder can't be read.
int expand_folders(pack_run& run, std::vector<named_image>& out);

// The stored name of each image (its file name, the NAME given, or its path
// inside the FOLDER given), checked; a refused one's left empty. -1 when the
// run stops (a dry run goes on). name_image: one image's; false after saying
// why it is refused.
int name_images(pack_run& run, std::vector<named_image>& images);
bool name_image(pack_run& run, named_image& n);

// The images read, decoded and made into payloads on the workers, and added
// as entries in order. -1 when the run stops.
int add_images(pack_run& run, const std::vector<const named_image*>& taken);

// Adds the entry of an image the job made into a payload, stored under
// `name` as `type`, and lists it as entry `index` with its fate. -1 after
// saying why not.
int add_image_entry(pack_run& run, const std::string& name, const image_job& job, std::uint8_t type, std::uint32_t index,
                    pack_fate fate);

// Every stored name of the source, the first entry's too, as the path it
// leads to (output_name_key): "x.tga" is held when the archive holds "./x.tga".
std::set<std::string> names_held(const pack_source& source);

// The entry's 80 bytes as stored.
std::array<std::uint8_t, tex_entry_header_size> stored_header(const pack_source& source, const tex_entry_view& v);

// Adds the source's entry v as stored, byte for byte (under `renamed`, when
// given, its header but for its name as stored). -1 after saying why not.
int keep_entry(pack_run& run, const pack_source& source, const tex_entry_view& v, pack_fate fate,
               const std::string& from = "", const std::string& renamed = "");
