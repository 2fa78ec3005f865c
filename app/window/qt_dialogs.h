#pragma once

#include "app/dialogs.h"

#include <QPointer>
#include <QWidget>

// The dialogs the user sees. Qt's own (non-native) dialogs, so nothing waits on a desktop portal.
namespace quillmere {

// "\r\n" and a lone "\r" become line breaks on screen; the message itself is left as composed.
QString textForDisplay(const QString& text);

class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QWidget* owner) : owner_(owner) {}

protected:
    int showMessage(const QString& text, int style, const QString& title) override;
    QString showInput(const QString& prompt, const QString& title,
                      const QString& defaultText) override;
    QString showFolderChooser(const QString& title, const QString& initialFolder) override;
    QString showSaveDialog(const SaveDialogRequest& request) override;

private:
    QPointer<QWidget> owner_;
};

} // namespace quillmere
