#pragma once

#include <linux/filter.h>

#include <string>
#include <vector>

namespace quillmere::extract {

// Loads for good (no_new_privs must be set) the seccomp filter of the zygote, which every helper
// forked from it inherits: read, seek and map what it holds (never as code), manage its memory,
// talk over `sockets` and nothing else, and fork exactly as fork() does, its children setting
// their parent-death signal and adding their own filter. Never threads, namespaces or other
// processes. Everything else fails with EPERM; execve, ptrace and reaching into another process's
// memory end the process.
bool loadReaderFilter(const std::vector<int>& sockets, std::string& failure);

// The filter each helper forked from the zygote adds to the one it inherits: no more processes,
// threads or namespaces, and talking only on its own socket. Compiled in the zygote before it is
// sealed, so that loading it in a child neither allocates nor asks libseccomp for anything.
class CompiledFilter {
public:
    bool compileForHelper(int socket, std::string& failure);
    bool load() const;

private:
    std::vector<sock_filter> program_;
};

} // namespace quillmere::extract
