// Test support on Windows only: starting a tool without waiting for it, so
// that a test can interrupt it, then collecting what it did.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

#include "support/support.hpp"

namespace test {

struct run_process {
    HANDLE process = nullptr;
    DWORD id = 0;
};

// A tool named without a folder is the one beside the test program.
std::filesystem::path beside_tests(const std::string& program);

// Starts the program as run_program does, with CreateProcessW's `flags`
// added; its output and errors go to files in `capture`.
run_process start_program(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd, const std::vector<std::string>& env,
                          const std::filesystem::path& capture, DWORD flags);

// Waits for it to end; its status is its exit code.
run_result finish_program(run_process& p, const std::filesystem::path& capture);

}  // namespace test
