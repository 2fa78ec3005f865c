#include "cli/commands.h"

#include <cstdio>

namespace quillmere::cli {

int runDetails(const QList<QByteArray>&) {
    std::fputs("quillmere-cli: details is not built yet\n", stderr);
    return 2;
}

} // namespace quillmere::cli
