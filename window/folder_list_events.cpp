#include "window/folder_list_events.h"

#include "window/form1.h"

#include <QKeyEvent>
#include <QTreeWidget>

namespace quillmere::window {

FolderListEvents::FolderListEvents(QTreeWidget& list, Form1& form)
    : QObject(&form), form_(form), list_(list), rows_(list.viewport()) {
    list_.installEventFilter(this);
    rows_->installEventFilter(this);
}

bool FolderListEvents::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &list_ && event->type() == QEvent::KeyPress)
        return form_.ListView1_KeyDown(static_cast<QKeyEvent*>(event)->key());
    if (watched == rows_ && event->type() == QEvent::MouseButtonDblClick) {
        form_.ListView1_DblClick();
        return true;
    }
    return false;
}

} // namespace quillmere::window
