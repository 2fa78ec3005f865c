#include "results/results_model.h"

#include <QFile>

#include <algorithm>

namespace quillmere::results {

namespace {

// Removing scattered rows one range at a time moves the tail once per range; past this many
// ranges a single compaction under a model reset is cheaper for the view as well.
constexpr int maxRangesRemovedOneByOne = 64;

// Reserving exactly what a batch needs makes every batch copy the whole list; doubling keeps a
// search that adds a few rows per folder at constant cost per row.
void reserveForAppend(std::vector<ResultRow>& rows, size_t more) {
    const size_t needed = rows.size() + more;
    if (needed > rows.capacity())
        rows.reserve(std::max(needed, rows.capacity() * 2));
}

} // namespace

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

int ResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const ResultRow& r = rows_[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return index.column() == PathColumn ? r.displayPath : r.label;
    case Qt::CheckStateRole:
        if (index.column() == PathColumn)
            return r.checked ? Qt::Checked : Qt::Unchecked;
        return {};
    case NativePathRole:
        return r.nativePath;
    default:
        return {};
    }
}

bool ResultsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != PathColumn ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const bool checked = value.value<Qt::CheckState>() == Qt::Checked;
    ResultRow& r = rows_[size_t(index.row())];
    if (r.checked != checked) {
        r.checked = checked;
        emit dataChanged(index, index, {Qt::CheckStateRole});
    }
    return true;
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case PathColumn:
        return QStringLiteral("Results");
    case LabelColumn:
        return QStringLiteral("Metadata");
    default:
        return {};
    }
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == PathColumn)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

bool ResultsModel::removeRows(int row, int count, const QModelIndex& parent) {
    if (parent.isValid() || row < 0 || count <= 0 || row + count > int(rows_.size()))
        return false;
    beginRemoveRows({}, row, row + count - 1);
    const auto first = rows_.begin() + row;
    for (auto it = first; it != first + count; ++it)
        listed_.remove(it->nativePath);
    rows_.erase(first, first + count);
    endRemoveRows();
    return true;
}

bool ResultsModel::isAlreadyListed(const QByteArray& nativePath) const {
    return listed_.contains(nativePath);
}

bool ResultsModel::appendRow(const QByteArray& nativePath, const QString& label) {
    std::vector<ResultRow> one;
    one.push_back({QFile::decodeName(nativePath), nativePath, label, false});
    return appendRows(std::move(one)) == 1;
}

int ResultsModel::appendRows(std::vector<ResultRow> rows) {
    std::vector<ResultRow> fresh;
    fresh.reserve(rows.size());
    // The index takes the new paths before the view hears of them; it is not part of what the
    // view sees, and one hash operation per row is what keeps a million rows quick.
    if (rows.size() > 1024)
        listed_.reserve(listed_.size() + qsizetype(rows.size()));
    for (ResultRow& r : rows) {
        const qsizetype before = listed_.size();
        listed_.insert(r.nativePath);
        if (listed_.size() == before)
            continue;
        if (r.displayPath.isEmpty())
            r.displayPath = QFile::decodeName(r.nativePath);
        r.checked = false;
        fresh.push_back(std::move(r));
    }
    if (fresh.empty())
        return 0;
    const int first = int(rows_.size());
    beginInsertRows({}, first, first + int(fresh.size()) - 1);
    reserveForAppend(rows_, fresh.size());
    for (ResultRow& r : fresh)
        rows_.push_back(std::move(r));
    endInsertRows();
    return int(fresh.size());
}

void ResultsModel::setChecked(int row, bool checked) {
    setData(index(row, PathColumn), checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
}

int ResultsModel::removeRowsIf(const std::function<bool(const ResultRow&)>& remove) {
    // Ranges of rows to remove, found from the end so earlier ranges keep their numbers.
    std::vector<std::pair<int, int>> ranges;
    int removed = 0;
    for (int i = int(rows_.size()) - 1; i >= 0; --i) {
        if (!remove(rows_[size_t(i)]))
            continue;
        ++removed;
        if (!ranges.empty() && ranges.back().first == i + 1)
            ranges.back().first = i;
        else
            ranges.emplace_back(i, i);
    }
    if (ranges.empty())
        return 0;
    if (ranges.size() <= size_t(maxRangesRemovedOneByOne)) {
        for (const auto& [first, last] : ranges)
            removeRows(first, last - first + 1);
        return removed;
    }
    // The predicate already gave its answer for every row; asking again would repeat its work
    // and could answer differently, so mark the rows from the ranges found.
    std::vector<bool> doomed(rows_.size(), false);
    for (const auto& [first, last] : ranges)
        std::fill(doomed.begin() + first, doomed.begin() + last + 1, true);
    beginResetModel();
    size_t kept = 0;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (doomed[i]) {
            listed_.remove(rows_[i].nativePath);
            continue;
        }
        if (kept != i)
            rows_[kept] = std::move(rows_[i]);
        ++kept;
    }
    rows_.resize(kept);
    endResetModel();
    return removed;
}

void ResultsModel::clear() {
    if (rows_.empty())
        return;
    beginResetModel();
    // Gives the memory back too: a cleared million rows would otherwise keep it for good.
    rows_ = std::vector<ResultRow>();
    listed_.clear();
    endResetModel();
}

} // namespace quillmere::results
