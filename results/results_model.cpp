#include "results/results_model.h"

#include "app/event_pump.h"
#include "results/path_text.h"

#include <QFile>
#include <QMimeData>
#include <QTimer>

#include <algorithm>
#include <iterator>

namespace quillmere::results {

namespace {

// Removing scattered rows one range at a time moves the tail once per range; past this many
// ranges, or this many times the list's length in rows moved, a single compaction under a model
// reset is cheaper for the view as well.
constexpr size_t maxRangesRemovedOneByOne = 64;
constexpr size_t maxListLengthsMovedByRanges = 4;

// Freeing this many rows takes a few milliseconds.
constexpr size_t rowsFreedPerSlice = 16384;

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

// checkIndex asks for the parent and both counts through virtual calls; a view laying out the
// list asks for the flags of every row, so the test here is the direct one. An index of this
// table model never has a parent.
bool ResultsModel::isOwnIndex(const QModelIndex& index) const {
    return index.isValid() && index.model() == this && size_t(index.row()) < rows_.size() &&
           index.column() < ColumnCount;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (!isOwnIndex(index))
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
    if (role != Qt::CheckStateRole || index.column() != PathColumn || !isOwnIndex(index))
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
    if (!isOwnIndex(index))
        return Qt::NoItemFlags;
    Qt::ItemFlags f =
        Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren | Qt::ItemIsDragEnabled;
    if (index.column() == PathColumn)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QStringList ResultsModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list"), QStringLiteral("text/plain")};
}

QMimeData* ResultsModel::mimeData(const QModelIndexList& indexes) const {
    return pathsMimeData(nativePathsOf(rowsOf(indexes)));
}

Qt::DropActions ResultsModel::supportedDragActions() const {
    return Qt::CopyAction;
}

std::vector<int> ResultsModel::rowsOf(const QModelIndexList& indexes) const {
    std::vector<int> rows;
    for (const QModelIndex& index : indexes)
        if (isOwnIndex(index))
            rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

std::vector<QByteArray> ResultsModel::nativePathsOf(const std::vector<int>& rows) const {
    std::vector<QByteArray> paths;
    paths.reserve(rows.size());
    for (const int r : rows)
        paths.push_back(rows_[size_t(r)].nativePath);
    return paths;
}

void ResultsModel::setAllChecked(bool checked) {
    for (ResultRow& r : rows_)
        r.checked = checked;
    if (!rows_.empty())
        emit dataChanged(index(0, PathColumn), index(rowCount() - 1, PathColumn),
                         {Qt::CheckStateRole});
}

void ResultsModel::setCheckedRows(const std::vector<int>& rows, bool checked) {
    for (size_t i = 0; i < rows.size();) {
        size_t end = i + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1)
            ++end;
        for (size_t j = i; j < end; ++j)
            rows_[size_t(rows[j])].checked = checked;
        emit dataChanged(index(rows[i], PathColumn), index(rows[end - 1], PathColumn),
                         {Qt::CheckStateRole});
        i = end;
    }
}

bool ResultsModel::removeRows(int row, int count, const QModelIndex& parent) {
    if (parent.isValid() || row < 0 || count <= 0 || row + count > int(rows_.size()))
        return false;
    // Nothing may fail between the signals.
    reserveForAppend(retired_, size_t(count));
    beginRemoveRows({}, row, row + count - 1);
    retire(rows_.begin() + row, rows_.begin() + row + count);
    rows_.erase(rows_.begin() + row, rows_.begin() + row + count);
    listed_.remove(row, count);
    endRemoveRows();
    return true;
}

bool ResultsModel::isAlreadyListed(const QByteArray& nativePath) const {
    // Rows being inserted are indexed just before the model holds them; until then they are not
    // listed, and no path is empty.
    return listed_.find(nativePath, PathIndex::hashOf(nativePath), [this](qsizetype row) {
        return size_t(row) < rows_.size() ? QByteArrayView(rows_[size_t(row)].nativePath)
                                          : QByteArrayView();
    }) >= 0;
}

bool ResultsModel::appendRow(const QByteArray& nativePath, const QString& label) {
    std::vector<ResultRow> one;
    one.push_back({QFile::decodeName(nativePath), nativePath, label, false});
    return appendRows(std::move(one)) == 1;
}

int ResultsModel::appendRows(std::vector<ResultRow> rows) {
    if (rows.size() > rowsPerInsertion) {
        reserveForAppend(rows_, rows.size());
        listed_.reserve(qsizetype(rows_.size()) + qsizetype(rows.size()));
    }
    int added = 0;
    for (size_t first = 0; first < rows.size(); first += rowsPerInsertion) {
        if (first > 0)
            app::letWindowMessagesRun();
        const size_t count = std::min(rowsPerInsertion, rows.size() - first);
        added += appendInsertion(std::span(rows).subspan(first, count));
    }
    return added;
}

int ResultsModel::appendInsertion(std::span<ResultRow> rows) {
    std::vector<ResultRow> fresh;
    fresh.reserve(rows.size());
    const size_t listedBefore = rows_.size();
    const auto pathOf = [&](qsizetype row) -> const QByteArray& {
        return size_t(row) < listedBefore ? rows_[size_t(row)].nativePath
                                          : fresh[size_t(row) - listedBefore].nativePath;
    };
    // The index takes the new paths before the view hears of them, so a path listed twice within
    // the batch is caught; it is not part of what the view sees. Should anything fail before the
    // rows are in, it forgets them again.
    try {
        for (ResultRow& r : rows) {
            const uint32_t hash = PathIndex::hashOf(r.nativePath);
            if (listed_.find(r.nativePath, hash, pathOf) >= 0)
                continue;
            if (r.displayPath.isEmpty())
                r.displayPath = QFile::decodeName(r.nativePath);
            r.checked = false;
            fresh.push_back(std::move(r));
            listed_.append(hash);
        }
        reserveForAppend(rows_, fresh.size());
    } catch (...) {
        listed_.remove(qsizetype(listedBefore), listed_.size() - qsizetype(listedBefore));
        throw;
    }
    if (fresh.empty())
        return 0;
    const int first = int(rows_.size());
    beginInsertRows({}, first, first + int(fresh.size()) - 1);
    std::move(fresh.begin(), fresh.end(), std::back_inserter(rows_));
    endInsertRows();
    return int(fresh.size());
}

void ResultsModel::setChecked(int row, bool checked) {
    setData(index(row, PathColumn), checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
}

int ResultsModel::removeRowsIf(const std::function<bool(const ResultRow&)>& remove) {
    // The predicate is asked once per row; asking again could answer differently.
    std::vector<bool> doomed(rows_.size(), false);
    // Ranges of rows to remove, last first so earlier ranges keep their numbers, and the rows a
    // removal one range at a time would move.
    std::vector<std::pair<int, int>> ranges;
    size_t moved = 0;
    int removed = 0;
    for (int i = int(rows_.size()) - 1; i >= 0; --i) {
        if (!remove(rows_[size_t(i)]))
            continue;
        doomed[size_t(i)] = true;
        ++removed;
        if (!ranges.empty() && ranges.back().first == i + 1) {
            ranges.back().first = i;
        } else {
            moved += rows_.size() - size_t(i) - size_t(removed);
            ranges.emplace_back(i, i);
        }
    }
    if (ranges.empty())
        return 0;
    if (ranges.size() <= maxRangesRemovedOneByOne &&
        moved <= maxListLengthsMovedByRanges * rows_.size())
        removeRanges(ranges);
    else
        removeFlagged(doomed);
    return removed;
}

void ResultsModel::removeRanges(const std::vector<std::pair<int, int>>& ranges) {
    size_t count = 0;
    for (const auto& [first, last] : ranges)
        count += size_t(last - first + 1);
    reserveForAppend(retired_, count);
    for (const auto& [first, last] : ranges)
        removeRows(first, last - first + 1);
}

void ResultsModel::removeFlagged(const std::vector<bool>& flagged) {
    // Nothing may fail between the signals.
    reserveForAppend(retired_, size_t(std::count(flagged.begin(), flagged.end(), true)));
    beginResetModel();
    size_t kept = 0;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (flagged[i]) {
            retire(rows_.begin() + qsizetype(i), rows_.begin() + qsizetype(i) + 1);
            continue;
        }
        if (kept != i)
            rows_[kept] = std::move(rows_[i]);
        ++kept;
    }
    rows_.resize(kept);
    listed_.removeFlagged(flagged);
    endResetModel();
}

void ResultsModel::clear() {
    if (rows_.empty())
        return;
    std::vector<ResultRow> cleared;
    beginResetModel();
    cleared.swap(rows_);
    listed_.clear();
    endResetModel();
    // Gives the memory back too: a cleared million rows would otherwise keep it for good.
    if (retired_.empty()) {
        QTimer::singleShot(0, this, &ResultsModel::freeRetiredSlice);
        retired_.swap(cleared);
    } else {
        retire(cleared.begin(), cleared.end());
    }
}

void ResultsModel::retire(std::vector<ResultRow>::iterator first,
                          std::vector<ResultRow>::iterator last) {
    if (first == last)
        return;
    if (retired_.empty())
        QTimer::singleShot(0, this, &ResultsModel::freeRetiredSlice);
    retired_.insert(retired_.end(), std::make_move_iterator(first), std::make_move_iterator(last));
}

void ResultsModel::freeRetiredSlice() {
    const size_t freed = std::min(retired_.size(), rowsFreedPerSlice);
    retired_.erase(retired_.end() - qsizetype(freed), retired_.end());
    if (retired_.empty())
        retired_ = std::vector<ResultRow>();
    else
        QTimer::singleShot(0, this, &ResultsModel::freeRetiredSlice);
}

} // namespace quillmere::results
