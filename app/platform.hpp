// What the programs of app/ ask of the system: one file per system,
// platform_posix.cpp or platform_windows.cpp, is built.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// Called first in main: the command line as UTF-8 (what POSIX systems hand
// over already) and standard input and output in binary mode, so that every
// program reads and prints the same bytes everywhere. The new argv lasts as
// long as the process. The allocator is set to keep the run's freed buffers
// (keep_freed_memory): a program's choice, which the library leaves to
// whoever links it.
void app_start(int& argc, char**& argv);

// The programs' own handlers of an interrupt (SIGINT, SIGTERM, SIGHUP and
// SIGPIPE; on Windows, Ctrl-C and the console's closing), installed by
// app_start: each ends the run as the signal would, leaving no temporary file
// behind (output_interrupted). Only over the default action: an ignored
// signal stays ignored (nohup), a handler already set stays.
void app_catch_interrupts();

// True when the descriptor is a terminal (a console).
bool app_is_terminal(int fd);

// True when the program has its console to itself and reads it: Explorer
// started it (archives dropped on it, a double click), and the window closes
// as soon as it ends. Never on POSIX systems, whose terminals outlive the
// programs they run.
bool app_console_is_own();

// The terminal's width in columns, 0 when unknown.
unsigned app_terminal_columns(int fd);

// Reads the first out.size() bytes of `path` when it is a regular file,
// opening nothing else (a FIFO, a device): how many were read, or -1.
long app_read_file_start(const std::string& path, std::span<std::uint8_t> out);

// What `path` names, looked at without opening it: nothing (no such file or
// folder on the way), a folder, a regular file, or something else: a FIFO, a
// device, a socket, or what can't be looked at, which only opening tells.
enum class app_path_kind { missing, folder, regular, other };
app_path_kind app_path_kind_of(const std::string& path);


// The key under which two file names are one name on this system: the name
// itself on POSIX systems; on Windows, whose file systems ignore letter case,
// the name upper-cased as they compare names.
std::string app_name_key(const std::string& name);
