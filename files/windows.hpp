// What the Windows halves of files/ and app/ share (the *_windows.cpp files,
// and nothing else, include this): names between the program's UTF-8 and the
// system's UTF-16, C runtime descriptors around handles, unpredictable
// numbers (files/windows.cpp), and format/'s errno values for the system's
// errors.
#pragma once

#include <cstdint>
#include <string>

#include <io.h>
#include <windows.h>

#include "format/windows.hpp"

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
