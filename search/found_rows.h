#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace quillmere::search {

// One item that matched: its path as shown, the path's own bytes, and the detail that matched as
// "[title] value".
struct FoundRow {
    QString displayPath;
    QByteArray nativePath;
    QString label;
};

// Where a search puts what it finds: the window's results list, or quillmere-cli's output. The
// search knows no more of it than this.
class FoundRows {
public:
    virtual ~FoundRows() = default;
    // A path listed earlier, by this search or before it, is not listed again.
    virtual bool isAlreadyListed(const QByteArray& nativePath) = 0;
    // Rows in walk order, none of them listed yet.
    virtual void addRows(std::vector<FoundRow> rows) = 0;
};

} // namespace quillmere::search
