#pragma once

#include <QObject>
#include <QString>

class QTreeWidget;
class QWidget;

namespace quillmere {

class Form1;

// The modal folder chooser, owned by the window; empty text when the user cancels.
QString BrowseForFolder(Form1& owner, const QString& title, const QString& initialFolder);

// "Add Folder to Search": the chosen folder, cleaned, becomes the last row of the folder list.
void addFolderToSearch(Form1& form);

// Removes the selected row of the folder list on a double-click or the Delete key, never while a
// long command runs: the search walks the list by row index.
class FolderListEdits : public QObject {
    Q_OBJECT
public:
    explicit FolderListEdits(Form1& form);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void removeSelectedRow();

    Form1& form_;
    QTreeWidget& list_;
    // Kept, not asked for: events still arrive while the list is being destroyed.
    QWidget* rows_;
};

} // namespace quillmere
