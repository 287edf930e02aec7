// What format/'s Windows half offers every other Windows half of the project
// (they include this; nothing else does): the system's errors as errno
// values, and the handle behind a C runtime descriptor.
#pragma once

#include <cstdint>

#include <io.h>
#include <windows.h>

// errno for a Win32 error code (GetLastError) or an NTSTATUS.
int tex_errno_of_error(DWORD error);
int tex_errno_of_status(std::int32_t status);

// Sets errno from GetLastError(); returns -1 for `return tex_fail();`.
int tex_fail();

// The handle behind a descriptor.
inline HANDLE tex_handle_of(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}
