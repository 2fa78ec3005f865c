#pragma once

#include "app/dialogs.h"
#include "app/failure_report.h"

#include <QString>

#include <exception>
#include <optional>
#include <utility>

namespace quillmere::app {

// Runs a handler as a sequence of labelled steps. A step that throws is reported in one
// "Application Error" box naming the handler and the label, and the handler carries on with its
// next step; inside a loop every failing pass gets a box of its own.
class Guard {
public:
    Guard(Dialogs& dialogs, QString locationText)
        : dialogs_(dialogs), location_(std::move(locationText)) {}

    template <typename Body> void step(int label, Body&& body) {
        lastLabel_ = label;
        try {
            std::forward<Body>(body)();
        } catch (...) {
            report(label, std::current_exception());
        }
    }

    // A step without a label of its own reports the label of the labelled step that ran last.
    template <typename Body> void unlabelledStep(Body&& body) {
        step(lastLabel_, std::forward<Body>(body));
    }

    // A test whose evaluation fails carries on into the branch it guards, so a failure gives true.
    template <typename Condition> bool test(int label, Condition&& condition) {
        lastLabel_ = label;
        try {
            return static_cast<bool>(std::forward<Condition>(condition)());
        } catch (...) {
            report(label, std::current_exception());
            return true;
        }
    }

    // The move command names the row it was working on; from this call on, reports end with it.
    void setFileText(const QString& rowText) { fileText_ = rowText; }

    int failureCount() const { return failures_; }

private:
    void report(int label, const std::exception_ptr& failure) noexcept;

    Dialogs& dialogs_;
    QString location_;
    std::optional<QString> fileText_;
    int failures_ = 0;
    int lastLabel_ = 0; // before any labelled step; a handler's first step always has a label
};

} // namespace quillmere::app
