#pragma once

#include <string>

namespace quillmere::extract {

// Loads, for good, the seccomp filter of a process that reads files (no_new_privs must be set):
// it may read, seek and map what it holds (never as code), manage its memory, and talk over
// `socket` and nothing else. Everything else fails with EPERM; execve, ptrace and reaching into
// another process's memory end the process.
bool loadReaderFilter(int socket, std::string& failure);

} // namespace quillmere::extract
