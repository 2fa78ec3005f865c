#include "cli/commands.h"
#include "cli/output.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

constexpr const char* usage =
    "Usage:\n"
    "  quillmere-cli details [--json] PATH...\n"
    "  quillmere-cli find [--ignore-case] [--no-subfolders] [--json] [--no-cache] [--cache-stats]\n"
    "                     [--in-process] PHRASE FOLDER...\n";

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    const QByteArray command = argv[1];
    QList<QByteArray> arguments;
    for (int i = 2; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    if (command == "details")
        return quillmere::cli::runDetails(arguments);
    if (command == "find")
        return quillmere::cli::runFind(arguments);
    if (command == "--help" || command == "-h") {
        quillmere::cli::Output output;
        output.write(usage);
        return output.flush() ? 0 : output.reportFailure(command.constData());
    }
    std::fprintf(stderr, "quillmere-cli: unknown command \"%s\"\n%s",
                 quillmere::cli::escaped(command).constData(), usage);
    return 2;
}
