#pragma once

#include "results/path_index.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QString>

#include <functional>
#include <span>
#include <vector>

namespace quillmere::results {

// One found item: the path shown, the path's own bytes (a name need not be valid UTF-8, and every
// file operation must reach exactly this entry), the matching detail as "[title] value", and the
// tick the user sets.
struct ResultRow {
    QString displayPath;
    QByteArray nativePath;
    QString label;
    bool checked = false;
};

// The results list: columns "Results" and "Metadata", a check box on each row's path. Rows keep
// their order of arrival; a native path occurs at most once, and the duplicate test is a hash
// look-up however many rows there are. No call that changes the rows holds the window for long at
// a million rows: a large append goes in parts with the window's messages let run between them.
class ResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { PathColumn = 0, LabelColumn = 1, ColumnCount = 2 };
    static constexpr int NativePathRole = Qt::UserRole + 1;

    explicit ResultsModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool removeRows(int row, int count, const QModelIndex& parent = {}) override;
    // A drag offers the rows' paths as file URIs and as text, and only ever as a copy: nothing a
    // drop target answers can make the list move or delete a file.
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;

    // The rows the indexes fall on, each once, in the list's order.
    std::vector<int> rowsOf(const QModelIndexList& indexes) const;
    std::vector<QByteArray> nativePathsOf(const std::vector<int>& rows) const;

    bool isAlreadyListed(const QByteArray& nativePath) const;

    // Appends one unticked row; false (and nothing added) when the path is already listed.
    bool appendRow(const QByteArray& nativePath, const QString& label);
    // Appends the rows in order, leaving out paths already listed (also those listed twice within
    // `rows`). Returns how many were added. A batch of more than rowsPerInsertion rows goes in
    // insertions of that many, and pending window messages may run between them: a command run
    // there sees the rows added so far, and the rest still follow in order after it.
    int appendRows(std::vector<ResultRow> rows);
    static constexpr size_t rowsPerInsertion = 16384;

    const ResultRow& row(int row) const { return rows_[size_t(row)]; }
    void setChecked(int row, bool checked);
    void setAllChecked(bool checked);
    // `rows` in ascending order; one change signal per run of adjacent rows.
    void setCheckedRows(const std::vector<int>& rows, bool checked);

    // Removes every row the predicate picks, keeping the order of the rest. Returns the count.
    int removeRowsIf(const std::function<bool(const ResultRow&)>& remove);
    void clear();

private:
    bool isOwnIndex(const QModelIndex& index) const;
    int appendInsertion(std::span<ResultRow> rows);
    // Removes the ranges (last row first) one by one, so a view keeps its selection and place.
    void removeRanges(const std::vector<std::pair<int, int>>& ranges);
    // Removes the flagged rows in one pass under a model reset.
    void removeFlagged(const std::vector<bool>& flagged);
    // Rows taken out of the list are freed later, a slice at a time between window messages:
    // freeing hundreds of thousands of strings at once held the window as long as the removal.
    void retire(std::vector<ResultRow>::iterator first, std::vector<ResultRow>::iterator last);
    void freeRetiredSlice();

    std::vector<ResultRow> rows_;
    PathIndex listed_;
    std::vector<ResultRow> retired_;
};

} // namespace quillmere::results
