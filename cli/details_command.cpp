#include "cli/commands.h"
#include "cli/output.h"

#include "cli/absolute_path.h"

#include "app/fs/file_system.h"
#include "search/detail_columns.h"
#include "search/detail_sources.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace quillmere::cli {

namespace {

void writeError(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

} // namespace

int runDetails(const QList<QByteArray>& arguments) {
    bool json = false;
    bool optionsEnded = false;
    QList<QByteArray> paths;
    for (const QByteArray& argument : arguments) {
        if (!optionsEnded && argument == "--json") {
            json = true;
        } else if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.startsWith('-') && argument.size() > 1) {
            std::fprintf(stderr, "quillmere-cli details: unknown option \"%s\"\n",
                         escaped(argument).constData());
            return 2;
        } else {
            paths.append(argument);
        }
    }
    if (paths.isEmpty()) {
        std::fputs("Usage: quillmere-cli details [--json] PATH...\n", stderr);
        return 2;
    }

    Output output;
    int status = 0;
    bool first = true;
    search::DetailSources sources;
    for (const QByteArray& given : paths) {
        search::DetailColumns details(absolutePath(given), sources);
        // Reading the embedded details may correct the type that the name suggested, so every
        // column is read before any is printed.
        for (int column = 0; column < details::column::Count; ++column)
            details.value(column);
        const QString path = QFile::decodeName(details.nativePath());
        if (json) {
            QJsonObject columns;
            for (int column = 0; column < details::column::Count; ++column) {
                const QString value = details.value(column);
                if (!value.isEmpty())
                    columns.insert(
                        QString::number(column),
                        QJsonObject{{QStringLiteral("title"), search::DetailColumns::title(column)},
                                    {QStringLiteral("value"), value}});
            }
            QJsonObject item{{QStringLiteral("path"), path}, {QStringLiteral("columns"), columns}};
            // JSON holds text only: a path that is not valid UTF-8 also comes as its bytes.
            if (app::fs::nativePath(path) != details.nativePath())
                item.insert(QStringLiteral("path_base64"),
                            QString::fromLatin1(details.nativePath().toBase64()));
            output.write(jsonLine(QJsonDocument(item)) + '\n');
        } else {
            // The path's own bytes, as find prints them, so a script reaches exactly this entry.
            QByteArray text = first ? QByteArray() : QByteArray("\n");
            text += escaped(details.nativePath()) + '\n';
            for (int column = 0; column < details::column::Count; ++column) {
                const QString value = details.value(column);
                if (!value.isEmpty())
                    text += QStringLiteral("  %1 %2: %3\n")
                                .arg(column)
                                .arg(search::DetailColumns::title(column), escaped(value))
                                .toUtf8();
            }
            output.write(text);
        }
        first = false;
        if (!output.flush())
            return output.reportFailure("details");
        for (const QString& problem : details.problems())
            writeError("quillmere-cli: " + escaped(details.nativePath()) + ": " +
                       escaped(problem).toUtf8() + '\n');
        if (!details.exists())
            status = 1;
    }
    return status;
}

} // namespace quillmere::cli
