#pragma once

#include "results/results_view.h"

#include <QStringList>

#include <functional>

// A window that records what the results commands do to its pointer and progress bar, in order:
// "pointer 11", "value 10", "text Done." ...
class FakeResultsView : public quillmere::ResultsView {
public:
    int mousePointer() const override { return pointer_; }
    void setMousePointer(int value) override {
        pointer_ = value;
        log << QStringLiteral("pointer %1").arg(value);
    }
    void setProgressValue(int percent) override {
        log << QStringLiteral("value %1").arg(percent);
        if (onProgressValue)
            onProgressValue(percent);
    }
    void setProgressText(const QString& text) override { log << QStringLiteral("text ") + text; }

    QStringList log;
    // Runs as a command clicked during the export's pump would.
    std::function<void(int)> onProgressValue;

private:
    int pointer_ = 0;
};
