// The output layer's private interface: what the shared policy (output.cpp,
// named_output.cpp) asks of each system (output_posix.cpp or
// output_windows.cpp, one of which is built), and the cleanup table both
// systems' interrupt handlers read. Every primitive does one step and decides
// nothing: which step comes next, and what is refused, is the policy's.
// Descriptors are the C runtime's on Windows too; names are UTF-8. Private to
// files/.
#pragma once

#include "files/files.hpp"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Shared helpers (output.cpp, named_output.cpp) the system halves use too.

// A name's components, the system's separators between them, "." left out.
std::vector<std::string> output_components(const std::string& name);

// True when `leading`, the first bytes of an existing file, begin a file of
// that kind (an empty file is of every kind).
bool output_holds_kind(std::span<const std::uint8_t> leading, output_kind kind);

// Makes the output's file in f.dir_fd: unnamed where the system can, else
// under an unpredictable name, exclusively. 0, or -1 with errno.
int output_create(output_file& f);

// Lets go of an output: its temporary name removed, its file and folder
// closed; nothing of it remains.
void output_drop(output_file& f);

// ---------------------------------------------------------------------------
// The cleanup table (output.cpp): named temporary files in flight, for the
// interrupt handler. A name is claimed (listed with its folder) before the
// call that makes it, and counted "in the making" until that call returns;
// once the process is ending no name is begun and no file placed.

// Lists `name`, about to be made in `dir_fd`: its slot, or -1 with EMFILE
// (every slot taken) or EINTR (the process is ending). cleanup_made() once
// the call that makes it has returned, whatever it returned.
int cleanup_claim(int dir_fd, const std::string& name);
void cleanup_made();
void cleanup_release(int& slot);  // unlisted; -1 afterwards

// For the system's handler, in this order: no name is begun from now on;
// true while another thread is still making one (wait a bounded while);
// every listed name removed (system_remove_temporary, async-signal-safe).
void cleanup_stop();
bool cleanup_names_in_making();
void cleanup_remove_listed();
bool cleanup_stopped();  // cleanup_stop() was called: the process is ending

// Held while an output is put in place: a handler that must not end the
// process halfway through a placement (Windows') takes it and never gives it back.
std::mutex& cleanup_placing();

// ---------------------------------------------------------------------------
// Names.

bool system_is_separator(char c);                // '/', and on Windows '\' too
bool system_is_absolute(const std::string& name);  // '/...', and on Windows '\...', 'C:...'
// What the system's file systems can't hold as one component (Windows'
// devices, streams, trailing dots and spaces, reserved characters); none on POSIX.
name_problem system_component_problem(const std::string& component);

// 64 unpredictable bits, for temporary names no one can plant in advance.
std::uint64_t system_random64();

// ---------------------------------------------------------------------------
// Folders. Every descriptor returned is the caller's; -1 with errno.

// A folder named by the user's path, links and all; with `make`, the missing
// folders of the path made, each inside the one before (never a link made
// here swapped in on the way).
int system_open_folder_path(const std::string& path, bool make);
bool system_is_folder(int fd);
// Where a folder really is, for absolute links leading inside it: `path`
// resolved where given, else the open folder's own; "" when unknown.
std::string system_real_path(int fd, const char* path);

// `folder` (with components) beneath the root, following links only while
// they stay beneath it: EXDEV for one that leads out.
int system_open_beneath(const output_root& root, const std::string& folder);
// The same, stopping at the deepest folder that exists: `missing` gets the
// names still to be made below it, outermost first.
int system_open_deepest(const output_root& root, const std::string& folder, std::vector<std::string>& missing);

// `name` in `parent`, made there (`made` true) or found there (made by someone
// else meanwhile): a folder where its parent and name say, never a link.
int system_make_folder(int parent, const std::string& name, bool& made);
// Removes a folder made by system_make_folder, when empty; `folder` is its
// descriptor (-1 when none was had), closed by the caller afterwards.
void system_unmake_folder(int parent, const std::string& name, int folder);

// ---------------------------------------------------------------------------
// Files.

// A new unnamed file in `dir`, readable and writable: -1 with EOPNOTSUPP
// where none can be had (or linked in) there.
int system_create_unnamed(int dir);
// A new file under `name` in `dir`, made exclusively (no link followed, no
// FIFO opened): EEXIST when the name is taken. On Windows it is marked to go
// with its last handle until placed.
int system_create_named(int dir, const std::string& name);
// Gives an unnamed file the name `name` in `dir`: EEXIST when taken,
// EOPNOTSUPP when the system can't.
int system_link_unnamed(int fd, int dir, const std::string& name);
// Puts the named file `fd` (`temporary` in `from`) under `name` in `to`:
// replacing what is there in one step (a link replaced, not followed), or
// only where nothing is (EEXIST, whenever the name was taken).
int system_place(int fd, int from, const std::string& temporary, int to, const std::string& name, bool replace);
// Removes a named temporary file: by its name (POSIX; async-signal-safe, `fd`
// unused), or by marking the open file `fd` to go with its handle (Windows).
void system_remove_temporary(int dir, const char* name, int fd);
// True when something is under `name` in `dir` (a dangling link counts).
bool system_name_taken(int dir, const std::string& name);
// Copies a spool from its start into a stream, whole: 0, or -1 with errno.
int system_copy_to_stream(int from, int to);

// ---------------------------------------------------------------------------
// Looking at what is under a name, for the named-output policy.

enum class system_kind : std::uint8_t { none, regular, folder, link, stream /* device, FIFO, socket */, block, other };

struct system_look {
    system_kind kind = system_kind::none;  // none: nothing is there
    bool identity_known = false;
    file_identity identity;
    // A link: what it leads to, when that can be known.
    bool target_known = false;
    system_kind target_kind = system_kind::none;
    file_identity target;
    // A regular file's first bytes, when asked for and readable.
    bool leading_known = false;
    std::size_t leading_size = 0;
    std::array<std::uint8_t, 64> leading{};
};

// What is under `name` in `dir`, not followed (and what a link there leads
// to); with `leading`, a regular file's first bytes too. 0 (kind none when
// nothing is there), or -1 with errno.
int system_look_under(int dir, const std::string& name, bool leading, system_look& out);
// What an open descriptor is (kind and identity). 0, or -1 with errno.
int system_look_fd(int fd, system_look& out);
// Opens what is under `name` in `dir` to write through it, following a link
// only when asked. -1 with errno.
int system_open_to_write(int dir, const std::string& name, bool follow);

// A path the user gave split into its folder and its last component.
void system_split_path(const std::string& path, std::string& folder, std::string& base);
// A path that names a device outside every folder (Windows: CON, NUL, a
// serial port, \\.\...): 1 with it opened for writing in `out`, 0 when the
// path names none, -1 with errno.
int system_open_device(const std::string& path, const std::string& base, unique_fd& out);
bool system_is_terminal(int fd);  // a terminal (a console on Windows)
// Gives `to` the owner (where allowed) and permissions of `from`; nothing on
// Windows, where a new file takes its folder's. 0, or -1 with errno.
int system_copy_owner(int from, int to);

// ---------------------------------------------------------------------------
// Knobs for the tests, all off in normal runs.
struct output_test_knobs {
    // Called once an output's folder is resolved and its file made, before
    // anything is written: the worst moment to change the folder.
    void (*after_create)(const std::string& name) = nullptr;
    // Called just before a complete file is linked in under its name.
    void (*before_place)(const std::string& name) = nullptr;
    // The temporary names to try, in place of unpredictable ones.
    std::string (*next_temporary_name)() = nullptr;
    bool named_files_only = false;  // as where no unnamed file can be made
    bool unnamed_unlinkable = false;  // as where one can be made but not linked in
    bool walk_only = false;         // as where the kernel can't resolve beneath a folder
};
extern output_test_knobs output_test;
