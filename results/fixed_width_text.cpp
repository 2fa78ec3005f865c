#include "results/fixed_width_text.h"

#include "app/escaped_text.h"
#include "app/failure_report.h"
#include "results/results_model.h"

namespace quillmere::results {

namespace {

const ResultRow& existingRow(const ResultsModel& list, int row) {
    if (row < 0 || row >= list.rowCount())
        throw app::Failure(
            QStringLiteral("Row %1 of the results list no longer exists").arg(row + 1));
    return list.row(row);
}

} // namespace

QString cellText(const ResultsModel& list, int row, int column) {
    const ResultRow& r = existingRow(list, row);
    return app::escapedText(column == ResultsModel::PathColumn ? r.displayPath : r.label);
}

bool rowIsTicked(const ResultsModel& list, int row) {
    return existingRow(list, row).checked;
}

int columnWidth(const ResultsModel& list, int column, int rowCount, int atLeast,
                const std::function<void()>& eachCell) {
    int width = atLeast;
    widenToColumn(list, column, rowCount, width, eachCell);
    return width;
}

void widenToColumn(const ResultsModel& list, int column, int rowCount, int& width,
                   const std::function<void()>& eachCell) {
    for (int row = 0; row < rowCount; ++row) {
        eachCell();
        width = std::max(width, int(cellText(list, row, column).size()));
    }
}

void appendPaddedCell(QString& line, const QString& text, int width) {
    line += text;
    if (width > text.size())
        line.resize(line.size() + width - text.size(), QLatin1Char(' '));
    line += QLatin1Char('\t');
}

void endClipboardLine(QString& text) {
    text.chop(1);
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1) == QLatin1Char(' '))
        --end;
    text.truncate(end);
    text += QStringLiteral("\r\n");
}

} // namespace quillmere::results
