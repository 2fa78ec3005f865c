#include "window/details_box.h"

#include "app/dialogs.h"
#include "details/clean_text.h"
#include "details/column_ids.h"
#include "results/path_text.h"
#include "search/detail_columns.h"
#include "search/detail_sources.h"

#include <QThread>

#include <memory>

namespace quillmere::window {

namespace {

const QString kDetailsTitle = QStringLiteral("Details");

// A box lays out all of its text at once: the longest values a file may hold (a megabyte in
// all) held the window for seconds, in lines no screen could show. `quillmere-cli details`
// prints every value whole.
constexpr qsizetype kShownValueLength = 1000;

QString shownValue(const QString& value) {
    if (value.size() <= kShownValueLength)
        return results::oneLinePath(value.toUtf8());
    return results::oneLinePath(
               value.left(details::boundedLength(value, kShownValueLength)).toUtf8()) +
           QStringLiteral("\u2026 (%1 characters in all)").arg(value.size());
}

// The title in a row's "[Title] value", or the empty text.
QString titleOfLabel(const QString& label) {
    const qsizetype close = label.indexOf(u']');
    return label.startsWith(u'[') && close > 0 ? label.mid(1, close - 1) : QString();
}

} // namespace

QString allDetailsText(search::DetailColumns& details, const QString& matchedLabel) {
    // Reading the embedded details may correct the type the name suggested: read all, then print.
    for (int column = 0; column < details::column::Count; ++column)
        details.value(column);
    const QString matchedTitle = titleOfLabel(matchedLabel);
    QString text = results::oneLinePath(details.nativePath()) + u'\n';
    for (int column = 0; column < details::column::Count; ++column) {
        const QString value = details.value(column);
        if (value.isEmpty())
            continue;
        const QString title = search::DetailColumns::title(column);
        text += QStringLiteral("%1%2 %3: %4\n")
                    .arg(!matchedTitle.isEmpty() && title == matchedTitle ? QStringLiteral("> ")
                                                                          : QStringLiteral("  "))
                    .arg(column)
                    .arg(title, shownValue(value));
    }
    for (const QString& problem : details.problems())
        text += u'\n' + problem;
    return text;
}

void showAllDetails(const QByteArray& nativePath, const QString& matchedLabel,
                    const std::shared_ptr<search::DetailSources>& sources, app::Dialogs& dialogs,
                    QObject* context) {
    auto text = std::make_shared<QString>();
    QThread* reader = QThread::create([nativePath, matchedLabel, text, sources] {
        search::DetailColumns details(nativePath, *sources);
        // One that is there but cannot be looked at shows its name and why.
        *text = !details.gone() ? allDetailsText(details, matchedLabel)
                                : results::oneLinePath(nativePath) +
                                      QStringLiteral("\n\nThis file is no longer there.");
    });
    QObject::connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    QObject::connect(reader, &QThread::finished, context, [text, &dialogs] {
        dialogs.messageBox(*text, app::BoxStyle::OkOnly | app::BoxStyle::Information,
                           kDetailsTitle);
    });
    reader->start();
}

} // namespace quillmere::window
