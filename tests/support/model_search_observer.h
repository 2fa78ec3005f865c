#pragma once

#include "results/results_model.h"
#include "search/search_folder.h"
#include "window/results_list_rows.h"

namespace quillmere::test {

// A search observer whose rows go to a results model, as the window's do.
class ModelSearchObserver : public search::SearchObserver {
public:
    explicit ModelSearchObserver(results::ResultsModel& results) : rows_(results) {}

    bool isAlreadyListed(const QByteArray& nativePath) override {
        return rows_.isAlreadyListed(nativePath);
    }
    void addRows(std::vector<search::FoundRow> rows) override { rows_.addRows(std::move(rows)); }

private:
    window::ResultsListRows rows_;
};

} // namespace quillmere::test
