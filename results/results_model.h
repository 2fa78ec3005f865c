#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QSet>
#include <QString>

#include <functional>
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
// look-up however many rows there are.
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

    bool isAlreadyListed(const QByteArray& nativePath) const;

    // Appends one unticked row; false (and nothing added) when the path is already listed.
    bool appendRow(const QByteArray& nativePath, const QString& label);
    // Appends the rows in order with one insertion, leaving out paths already listed (also those
    // listed twice within `rows`). Returns how many were added.
    int appendRows(std::vector<ResultRow> rows);

    const ResultRow& row(int row) const { return rows_[size_t(row)]; }
    void setChecked(int row, bool checked);

    // Removes every row the predicate picks, keeping the order of the rest. Returns the count.
    int removeRowsIf(const std::function<bool(const ResultRow&)>& remove);
    void clear();

private:
    std::vector<ResultRow> rows_;
    QSet<QByteArray> listed_;
};

} // namespace quillmere::results
