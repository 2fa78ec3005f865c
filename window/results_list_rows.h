#pragma once

#include "results/results_model.h"
#include "search/found_rows.h"

namespace quillmere::window {

// The search's rows, appended to the window's results list, unticked.
class ResultsListRows : public search::FoundRows {
public:
    explicit ResultsListRows(results::ResultsModel& list) : list_(list) {}

    bool isAlreadyListed(const QByteArray& nativePath) override {
        return list_.isAlreadyListed(nativePath);
    }

    void addRows(std::vector<search::FoundRow> rows) override {
        std::vector<results::ResultRow> listed;
        listed.reserve(rows.size());
        for (search::FoundRow& row : rows)
            listed.push_back(
                {std::move(row.displayPath), std::move(row.nativePath), std::move(row.label)});
        list_.appendRows(std::move(listed));
    }

private:
    results::ResultsModel& list_;
};

} // namespace quillmere::window
