// What the Windows halves of files/ and app/ share (the *_windows.cpp files,
// and nothing else, include this): names between the program's UTF-8 and the
// system's UTF-16, C runtime descriptors around handles, unpredictable
// numbers, the native calls that work relative to a folder's handle
// (files/windows.cpp), and format/'s errno values for the system's errors.
#pragma once

#include <cstdint>
#include <string>

#include <io.h>
#include <windows.h>

#include "format/windows.hpp"

struct file_identity;

// A name or path as UTF-16. Bytes that are not UTF-8 are read as Windows-1252,
// the code page the archives' own programs wrote names in.
std::wstring tex_wide(const std::string& text);

// UTF-16 (from the system) as UTF-8.
std::string tex_narrow(const std::wstring& text);

// A path the user gave, absolute and prefixed with \\?\ so that it may be
// longer than 260 characters; \\?\ and \\.\ paths as they are.
std::wstring tex_long_path(const std::string& path);

// True for the names Windows keeps for devices in every folder: CON, PRN,
// AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9 (with the superscripts 1-3),
// in any case, with any extension, trailing spaces before it ignored.
bool tex_is_device_name(const std::wstring& name);

// A C runtime descriptor owning the handle (binary mode), or -1 with errno,
// the handle then closed.
int tex_descriptor_of(HANDLE handle, int flags);

// 64 unpredictable bits, for names no one can plant in advance.
std::uint64_t tex_random64();

// The volume and the number of an open file: what makes a file one file.
bool tex_identity_of(HANDLE h, file_identity& out);

// The native calls the output layer stands on: each opens, makes or renames
// relative to a folder's handle, never by a path from anywhere else, letter
// case ignored. They give an NTSTATUS, negative for a failure.
LONG tex_open_relative(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, HANDLE& out);
LONG tex_rename_relative(HANDLE file, HANDLE dir, const std::wstring& name, bool replace);

// Marks an open file (or folder) to be deleted when its last handle closes,
// or takes the mark back.
bool tex_mark_for_deletion(HANDLE h, bool remove);

// Where an open file or folder really is, links and junctions resolved: its
// name as the system's object manager holds it (\Device\HarddiskVolume2\...,
// or \??\C:\... under Wine), the same for every handle on one volume.
std::wstring tex_final_path(HANDLE h);

// True when the first `n` characters of both are the same, letter case ignored.
bool tex_same_text(const wchar_t* a, const wchar_t* b, std::size_t n);

// True when `path` is `folder` or lies inside it, letter case ignored.
bool tex_lies_inside(const std::wstring& folder, const std::wstring& path);
