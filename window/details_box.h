#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QObject;

namespace quillmere::app {
class Dialogs;
}
namespace quillmere::search {
class DetailColumns;
class DetailSources;
} // namespace quillmere::search

namespace quillmere::window {

// Every non-empty detail of the file as `quillmere-cli details` prints them: the path, then one
// line per detail, "  12 Title: value". The line of the detail named by `matchedLabel` (the
// results row's "[Title] value") starts with "> " instead of the two spaces. A value longer than
// 1,000 characters is cut there and followed by "… (N characters in all)".
QString allDetailsText(search::DetailColumns& details, const QString& matchedLabel);

// Reads the details afresh on a thread of their own, through the same sandboxed readers as a
// search, and then shows them in a box. Nothing is shown when `context` is gone by then.
void showAllDetails(const QByteArray& nativePath, const QString& matchedLabel,
                    const std::shared_ptr<search::DetailSources>& sources, app::Dialogs& dialogs,
                    QObject* context);

} // namespace quillmere::window
