#include "details/helper_environment.h"

#include <algorithm>

namespace quillmere::details {

bool isReaderVariable(std::string_view entry) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view name = entry.substr(0, equals);
#ifdef QUILLMERE_SANITIZE
    // The sanitizers' own settings, for the reports of the helpers of the sanitizer build.
    if (name == "ASAN_OPTIONS" || name == "UBSAN_OPTIONS" || name == "LSAN_OPTIONS")
        return true;
#endif
    return name == "LANG" || name == "LANGUAGE" || name == "TZ" || name.starts_with("LC_");
}

std::vector<std::string> readerEnvironment(char** environment) {
    std::vector<std::string> kept;
    for (char** entry = environment; entry && *entry; ++entry) {
        if (isReaderVariable(*entry))
            kept.emplace_back(*entry);
    }
#ifdef QUILLMERE_SANITIZE
    // LeakSanitizer cannot run in a helper: it needs a thread, ptrace and /proc. Helpers leave by
    // _exit(), but a library that calls exit() would otherwise end in LeakSanitizer's failure.
    auto options = std::find_if(kept.begin(), kept.end(), [](const std::string& entry) {
        return entry.starts_with("ASAN_OPTIONS=");
    });
    if (options == kept.end())
        kept.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    else
        *options += ":detect_leaks=0";
#endif
    return kept;
}

} // namespace quillmere::details
