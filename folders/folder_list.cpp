#include "folders/folder_list.h"

#include "app/application_values.h"
#include "app/form1.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "folders/folder_picker.h"
#include "folders/path_cleanup.h"
#include "search/search_run.h"

#include <QKeyEvent>
#include <QTreeWidget>

namespace quillmere {

namespace {
const QString kPickerTitle = QStringLiteral("Please select folder:");
}

QString BrowseForFolder(Form1& owner, const QString& title, const QString& initialFolder) {
    return BrowseForFolder(owner.dialogs(), title, initialFolder);
}

void addFolderToSearch(Form1& form) {
    Guard g = form.guard(location::PushButton3Click);
    QString chosen;
    g.step(100, [&] {
        applicationValues().LastFolderDot = GetSetting(settingkey::LastFolderDot, QString());
        chosen = BrowseForFolder(form, kPickerTitle, applicationValues().LastFolderDot);
    });
    if (g.test(102, [&] { return chosen.isEmpty(); }))
        return;
    g.step(104, [&] { form.setMousePointer(pointer::Busy); });
    g.step(106, [&] {
        auto* row = new QTreeWidgetItem(QStringList{CollapseBackslashes(chosen)});
        form.ListView1()->addTopLevelItem(row);
    });
    g.step(108, [&] { form.setMousePointer(pointer::Default); });
}

FolderListEdits::FolderListEdits(Form1& form)
    : QObject(&form), form_(form), list_(*form.ListView1()), rows_(list_.viewport()) {
    list_.installEventFilter(this);
    rows_->installEventFilter(this);
}

bool FolderListEdits::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &list_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        removeSelectedRow();
        return true;
    }
    if (watched == rows_ && event->type() == QEvent::MouseButtonDblClick) {
        removeSelectedRow();
        return true;
    }
    return false;
}

void FolderListEdits::removeSelectedRow() {
    if (form_.MousePointer() == pointer::Busy || search::searchRunning())
        return;
    if (list_.topLevelItemCount() == 0)
        return;
    const QList<QTreeWidgetItem*> selected = list_.selectedItems();
    if (selected.isEmpty())
        return;
    delete list_.takeTopLevelItem(list_.indexOfTopLevelItem(selected.first()));
}

} // namespace quillmere
