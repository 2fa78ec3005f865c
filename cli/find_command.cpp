#include "cli/commands.h"

#include <cstdio>

namespace quillmere::cli {

int runFind(const QList<QByteArray>&) {
    std::fputs("quillmere-cli: find is not built yet\n", stderr);
    return 2;
}

} // namespace quillmere::cli
