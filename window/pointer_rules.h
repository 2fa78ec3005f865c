#pragma once

#include <QHash>
#include <QObject>

// Pointer feedback as the mouse moves over the main window's surfaces.
namespace quillmere::window {

class Form1;

enum class HoverRule {
    DefaultUnlessBusy, // background, frames, phrase box, both lists
    HandUnlessBusy,    // the command buttons
    HandAlways,        // "Start Finding" / "Stop", which must stay reachable during a search
    None,              // check boxes and the progress bar leave the pointer as it was
};

struct HoverSurface {
    const char* name; // objectName; "Form1" is the window background
    HoverRule rule;
};

class PointerRules : public QObject {
    Q_OBJECT
public:
    // Watches every surface of the table on the window.
    explicit PointerRules(Form1& form);

    static const QList<HoverSurface>& surfaces();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watch(QWidget* surface, HoverRule rule);

    Form1& form_;
    QHash<const QObject*, HoverRule> rules_;
};

} // namespace quillmere::window
