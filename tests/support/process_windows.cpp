// Test support on Windows: fresh folders, and running the built tools with
// CreateProcessW, their standard output and error caught in files. The tools
// sit beside the test program (tests/CMakeLists.txt puts them there), so a
// program named without a folder is found there.
#include "support/process_windows.hpp"

#include <cwchar>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <windows.h>
#include <psapi.h>

#include "files/windows.hpp"

namespace test {

namespace fs = std::filesystem;

temp_dir::temp_dir()
{
    const fs::path base = fs::temp_directory_path();
    for (int tries = 0; tries < 16; ++tries) {
        wchar_t name[40];
        std::swprintf(name, 40, L"morvex-test.%016llx", static_cast<unsigned long long>(tex_random64()));
        const fs::path p = base / name;
        if (CreateDirectoryW(p.c_str(), nullptr)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("can't make a temporary folder");
}

fs::path beside_tests(const std::string& program)
{
    const fs::path p(tex_wide(program));
    if (p.has_parent_path()) return p;
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (n < self.size()) {
            self.resize(n);
            break;
        }
        self.resize(self.size() * 2);
    }
    return fs::path(self).parent_path() / p;
}

namespace {

// One argument as CommandLineToArgvW and the C runtime read it back.
std::wstring quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring q = L"\"";
    for (std::size_t k = 0;; ++k) {
        std::size_t slashes = 0;
        while (k < arg.size() && arg[k] == L'\\') {
            ++slashes;
            ++k;
        }
        if (k == arg.size()) {
            q.append(slashes * 2, L'\\');
            break;
        }
        if (arg[k] == L'"') {
            q.append(slashes * 2 + 1, L'\\');
        } else {
            q.append(slashes, L'\\');
        }
        q += arg[k];
    }
    return q + L"\"";
}

HANDLE inheritable_file(const fs::path& p, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    const HANDLE h = CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                 disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("can't open " + p.string());
    return h;
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The environment block of this process with `env` ("NAME=value") added.
std::wstring environment_with(const std::vector<std::string>& env)
{
    std::wstring block;
    wchar_t* mine = GetEnvironmentStringsW();
    for (const wchar_t* e = mine; *e; e += std::wcslen(e) + 1) {
        const std::wstring entry = e;
        bool replaced = false;
        for (const std::string& add : env) {
            const std::wstring name = tex_wide(add.substr(0, add.find('=') + 1));
            replaced = replaced || entry.compare(0, name.size(), name) == 0;
        }
        if (!replaced) block += entry + L'\0';
    }
    FreeEnvironmentStringsW(mine);
    for (const std::string& add : env) block += tex_wide(add) + L'\0';
    return block + L'\0';
}

}  // namespace

run_process start_program(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                          const std::vector<std::string>& env, const fs::path& capture, DWORD flags)
{
    const fs::path exe = beside_tests(program);
    std::wstring line = quoted(exe.wstring());
    for (const std::string& a : args) line += L" " + quoted(tex_wide(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable_file(L"NUL", GENERIC_READ, OPEN_EXISTING);
    si.hStdOutput = inheritable_file(capture / "stdout", GENERIC_WRITE, CREATE_ALWAYS);
    si.hStdError = inheritable_file(capture / "stderr", GENERIC_WRITE, CREATE_ALWAYS);
    std::wstring block = environment_with(env);
    PROCESS_INFORMATION pi{};
    // Wine's server, busy starting up beside a loaded machine, now and then
    // refuses a first process: a few tries, a moment apart.
    BOOL ok = FALSE;
    DWORD error = 0;
    for (int tries = 0; tries < 3 && !ok; ++tries) {
        if (tries > 0) Sleep(500);
        ok = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, flags | CREATE_UNICODE_ENVIRONMENT, block.data(),
                            cwd.c_str(), &si, &pi);
        if (!ok) error = GetLastError();
    }
    CloseHandle(si.hStdInput);
    CloseHandle(si.hStdOutput);
    CloseHandle(si.hStdError);
    if (!ok) throw std::runtime_error("can't run " + exe.string() + " (error " + std::to_string(error) + ")");
    CloseHandle(pi.hThread);
    return run_process{pi.hProcess, pi.dwProcessId};
}

run_result finish_program(run_process& p, const fs::path& capture)
{
    WaitForSingleObject(p.process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(p.process, &code);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    run_result r;
    if (GetProcessMemoryInfo(p.process, &memory, sizeof memory)) r.peak_kib = static_cast<long>(memory.PeakWorkingSetSize / 1024);
    CloseHandle(p.process);
    p.process = nullptr;
    r.status = static_cast<int>(code);
    r.out = slurp(capture / "stdout");
    r.err = slurp(capture / "stderr");
    return r;
}

run_result run_program(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                       const std::vector<std::string>& env)
{
    // Output goes to files outside cwd, so the folder holds only what the tool wrote.
    temp_dir capture;
    run_process p = start_program(program, args, cwd, env, capture.path(), 0);
    return finish_program(p, capture.path());
}

}  // namespace test
