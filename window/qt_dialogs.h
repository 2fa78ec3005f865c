#pragma once

#include "app/dialogs.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <memory>

// The dialogs the user sees. Qt's own (non-native) dialogs, so nothing waits on a desktop portal.
namespace quillmere::window {

// "\r\n" and a lone "\r" become line breaks on screen; the message itself is left as composed.
QString textForDisplay(const QString& text);

// The boxes as the user sees them, not yet shown; the title is the one to show. The pictures of
// the user guide draw the same ones.
std::unique_ptr<QMessageBox> makeMessageBox(const QString& text, app::BoxStyle style,
                                            const QString& title, QWidget* owner);
std::unique_ptr<QInputDialog> makeInputDialog(const QString& prompt, const QString& title,
                                              const QString& defaultText, QWidget* owner);

class QtDialogs : public app::Dialogs {
public:
    explicit QtDialogs(QWidget* owner) : owner_(owner) {}

protected:
    app::BoxAnswer showMessage(const QString& text, app::BoxStyle style,
                               const QString& title) override;
    QString showInput(const QString& prompt, const QString& title,
                      const QString& defaultText) override;
    QString showFolderChooser(const QString& title, const QString& initialFolder) override;
    QString showSaveDialog(const app::SaveDialogRequest& request) override;
    int showChoice(const app::ChoiceRequest& request) override;

private:
    QPointer<QWidget> owner_;
};

} // namespace quillmere::window
