// Files: the output layer (every file the project writes is placed through
// it, beneath a root folder or under a path the user named, by one policy),
// opening archives (read through from a stream as far as a reader looks),
// reading image files, and what the allocator and the processors are asked.
//
// The policy is in output.cpp (placing files), named_output.cpp (what a path
// the user named may be written over) and archive_file.cpp; the system's
// primitives they stand on are in the *_posix.cpp and *_windows.cpp files
// (output_system.hpp). Includes format/ and images/ (image names); nothing
// here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format/format.hpp"
#include "images/images.hpp"

// ---------------------------------------------------------------------------
// The one owner of a descriptor in files/: closed by the system's own close
// (machine_posix.cpp, machine_windows.cpp) when it goes, unless released. It
// reads as the descriptor it holds, so that tex_archive_file::fd, say, passes
// where an int is wanted.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    int get() const noexcept { return fd_; }
    operator int() const noexcept { return fd_; }  // NOLINT(google-explicit-constructor)
    int release() noexcept { return std::exchange(fd_, -1); }  // lets go of it, open
    void reset(int fd = -1) noexcept;  // closes what it held (errors ignored), then holds `fd`
    int close() noexcept;              // closes it now: 0, or -1 with errno

private:
    int fd_ = -1;
};

// ---------------------------------------------------------------------------
// Archives.

// An archive opened for reading: a regular file, or a stream read through
// into an unnamed temporary file. The descriptor is closed with it.
struct tex_archive_file {
    unique_fd fd;
    std::uint64_t size = 0;
    bool read_through = false;  // it came from a pipe, FIFO, socket or block device
    bool cut_at_limit = false;  // ... which held more than tex_max_archive_size bytes
};

// Opens `path`. -1 with errno for what can't be opened, and for folders
// (EISDIR) and character devices (ENODEV), which hold no archive. A stream
// is read through up to `limit` bytes.
int tex_open_archive(const char* path, tex_archive_file& out, std::uint64_t limit = tex_max_archive_size);

// An archive read through from an open stream (standard input, say), which
// stays open. -1 with errno.
int tex_open_stream(int fd, tex_archive_file& out, std::uint64_t limit = tex_max_archive_size);

// The folder temporary files go in: $TMPDIR, or /tmp (on Windows, the
// system's temporary folder), for messages that must say where.
std::string tex_temporary_folder();

// A new unnamed file in tex_temporary_folder(), gone when its descriptor
// closes. -1 with errno.
int tex_temporary_file();

// ---------------------------------------------------------------------------
// The output layer: the one place that knows about folders, links, temporary
// files, renames, devices and signals. Given a root folder and a stored name
// (or, for an archive the packer writes, a path), it either places a complete
// file or says why not.

// The folder outputs go beneath, held open for the whole run; or a stream
// every output is copied to, one after the other, as each is placed.
struct output_root {
    unique_fd fd;
    bool create_folders = false;  // make the folders a name holds, beneath the root
    std::string real_path;        // where it is, for absolute links that lead inside it
    int stream_fd = -1;           // not owned: outputs go here instead of into files
};

// Opens the root (closed with it, or by output_close_root). With `create`,
// the folder and those of its path that are missing are made, each inside the
// one before (the ones that exist are the user's own, links and all). 0 or -1
// with errno.
int output_open_root(const char* path, bool create, output_root& out);
void output_close_root(output_root& root);

// Opens the folder `name` beneath `parent` as a root of its own, making it
// when it is missing, by the rules every output's folder follows: a link
// there is followed only while it stays beneath the parent. 0, or -1 with
// errno (EXDEV for a link leading outside).
int output_open_folder(const output_root& parent, const std::string& name, output_root& out);

// A root whose outputs are written to `stream_fd` (standard output, say):
// each is made in a temporary file and copied there whole when placed.
void output_open_stream_root(int stream_fd, output_root& out);

// Why a stored name can never be an output's name.
enum class name_problem : std::uint8_t {
    none,
    control_byte,   // it holds a control byte
    absolute_path,  // it begins with "/"
    dot_dot,        // it has a ".." component
    link_outside,   // its folder is a link that leads outside the root
    // Windows only: names its file systems can't hold as files.
    device_name,            // a component is CON, NUL, COM1, ... (any extension)
    stream_name,            // it holds ':' (a stream of a file)
    trailing_dot_or_space,  // a component ends in a dot or a space
    reserved_character,     // it holds one of <>"|?*
};

// The name's problem as a stored name, before any folder is looked at.
name_problem output_name_problem(const std::string& name);

// The file a stored name leads to beneath a root, as a text: its components
// joined by '/', the empty and "." ones left out. Two names with one key are
// written to one file. `part`, when given, is set to the first component
// (from 1) that is empty or "." (0 when none is), and `dot` to whether it is
// ".".
std::string output_name_key(const std::string& name, std::uint32_t* part = nullptr, bool* dot = nullptr);

// Where making an output failed.
enum class output_stage : std::uint8_t { create, write, place };

// The errors that stop every later output too: nothing more can be written.
bool output_error_is_final(int error);

// An output being written: an unnamed file in its destination folder (or in
// the deepest folder of its name that exists, while the others are still to
// be made), or a file under an unpredictable name made there exclusively
// where unnamed files can't be had. Dropped unless committed; nothing of it
// then remains.
struct output_file {
    unique_fd fd;
    unique_fd dir;          // its folder, unless that is the root's own
    int dir_fd = -1;        // its folder: dir, or the root's descriptor
    std::string base;       // the final name within its folder
    std::string temporary;  // a named temporary file's name in dir_fd, if one is used
    int slot = -1;          // its entry in the table the interrupt handler cleans
    std::vector<std::string> missing;  // folders to make beneath dir_fd, outermost first
    int stream_fd = -1;     // not owned: placing it copies it there
    output_file() = default;
    output_file(output_file&& other) noexcept;
    output_file& operator=(output_file&& other) noexcept;
    ~output_file();
};

enum class output_error { none, refused, failed };

// Resolves the name's folder beneath the root in one step, without following
// any link that leads out, and opens a new file there. refused: `why` says
// why; failed: errno does. No folder is made yet: missing ones are made when
// the file is placed.
output_error output_begin(const output_root& root, const std::string& name, output_file& out, name_problem& why);

// Puts the complete file in place under its name, making the folders it
// still needs (and removing them again when it can't). With `replace`, what
// is there is replaced in one step (a link there is replaced, not followed);
// without, the name must be free: -1 with EEXIST when it is taken, whenever
// it was taken. 0, or -1 with errno.
int output_commit(output_file& file, bool replace = true);

// True when the name is taken beneath the root, as output_begin would resolve
// it (a dangling link counts). A guess that saves work; output_commit decides.
bool output_exists(const output_root& root, const std::string& name);

// One file, whatever path leads to it: its device (volume) and number.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t number = 0;
    bool operator==(const file_identity&) const = default;
};

// The identity of what a path leads to (links followed), or of an open
// descriptor. 0, or -1 with errno.
int file_identity_of(const std::string& path, file_identity& out);
int file_identity_of_fd(int fd, file_identity& out);

// What a named output holds, and so what may be under its name already.
enum class output_kind : std::uint8_t {
    archive,  // a TEX archive (the packer's)
    page,     // an HTML page (the gallery's)
    image,    // an image file (the library's writer): of its kind when named like one
};

// The one policy for every output named by a path the user gave. What may be
// there: nothing, an empty file or a file of the output's kind, or a link,
// which is replaced, not followed; a device, FIFO or socket (or a link to
// one), and "-" for standard output, which are written through as streams,
// never replaced. A file of another kind, or a name that ends in an image
// extension, is refused unless forced; one of the run's own inputs, under any
// name, is refused forced or not.
struct output_policy {
    output_kind kind = output_kind::archive;
    bool force = false;
    std::vector<file_identity> inputs;
};

enum class path_refusal : std::uint8_t {
    none,
    other_kind,  // an existing file that is not of the output's kind
    image_name,  // the name ends in an image extension
    folder,      // a folder is there
    terminal,    // standard output is a terminal
    input,       // it is one of the run's inputs
};

struct path_output {
    output_file file;       // the bytes: an unnamed file beside the name, or a spool for a stream
    int stream_fd = -1;     // a stream: the spool is copied there when complete
    unique_fd own_stream;   // ... when it was opened here (a device, a FIFO)
    bool replaces = false;  // something is under the name already
};

// 0; -1 with `why` set when refused (nothing touched), or with errno.
int output_begin_path(const std::string& path, const output_policy& policy, path_output& out, path_refusal& why);

// Puts the complete output in place (without `replace`, failing with EEXIST
// when the name is taken by then), or copies it to its stream. 0 or -1 with
// errno.
int output_commit_path(path_output& out, bool replace = true);

// For a file written to take the place of `from` (an archive edited in
// place): its owner, where allowed, and its permissions. 0 or -1 with errno.
int output_keep_owner(path_output& out, int from);

// For a program's own handler of an interrupt (SIGINT, SIGTERM, SIGHUP,
// SIGPIPE; on Windows, Ctrl-C and the console's closing), just before the
// process ends: no output is placed from now on (one being placed completes
// or is undone), and the temporary files of those in the making are removed.
// Async-signal-safe. The library installs no handler of its own.
void output_interrupted();


// ---------------------------------------------------------------------------
// The machine.

// The processors this process may run on, at least 1.
unsigned usable_processors();

// Has the allocator keep freed memory for the next entry's buffers, once.
void keep_freed_memory();
