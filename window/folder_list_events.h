#pragma once

#include <QObject>

class QTreeWidget;
class QWidget;

namespace quillmere::window {

class Form1;

// Hands the folder list's double-clicks and key presses to the window's handlers.
class FolderListEvents : public QObject {
    Q_OBJECT
public:
    FolderListEvents(QTreeWidget& list, Form1& form);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Form1& form_;
    QTreeWidget& list_;
    // Kept, not asked for: events still arrive while the list is being destroyed.
    QWidget* rows_;
};

} // namespace quillmere::window
