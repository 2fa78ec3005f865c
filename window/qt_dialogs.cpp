#include "window/qt_dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace quillmere::window {

QString textForDisplay(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

namespace {

QMessageBox::Icon iconFor(app::BoxStyle style) {
    switch (app::boxIcon(style)) {
    case app::BoxStyle::Critical:
        return QMessageBox::Critical;
    case app::BoxStyle::Question:
        return QMessageBox::Question;
    case app::BoxStyle::Exclamation:
        return QMessageBox::Warning;
    case app::BoxStyle::Information:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

std::unique_ptr<QMessageBox> makeMessageBox(const QString& text, app::BoxStyle style,
                                            const QString& title, QWidget* owner) {
    auto box = std::make_unique<QMessageBox>(iconFor(style), title, textForDisplay(text),
                                             QMessageBox::NoButton, owner);
    // A path may look like markup; show it as it is.
    box->setTextFormat(Qt::PlainText);
    switch (app::boxButtons(style)) {
    case app::BoxStyle::YesNo:
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setEscapeButton(QMessageBox::No);
        break;
    case app::BoxStyle::OkCancel:
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box->setEscapeButton(QMessageBox::Cancel);
        break;
    default:
        box->setStandardButtons(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
        break;
    }
    return box;
}

std::unique_ptr<QInputDialog> makeInputDialog(const QString& prompt, const QString& title,
                                              const QString& defaultText, QWidget* owner) {
    auto dialog = std::make_unique<QInputDialog>(owner);
    dialog->setWindowTitle(title);
    dialog->setLabelText(textForDisplay(prompt));
    dialog->setTextValue(defaultText);
    return dialog;
}

app::BoxAnswer QtDialogs::showMessage(const QString& text, app::BoxStyle style,
                                      const QString& title) {
    const auto box = makeMessageBox(text, style, app::effectiveBoxTitle(title), owner_);
    switch (box->exec()) {
    case QMessageBox::Yes:
        return app::BoxAnswer::Yes;
    case QMessageBox::No:
        return app::BoxAnswer::No;
    case QMessageBox::Cancel:
        return app::BoxAnswer::Cancel;
    default:
        return app::BoxAnswer::Ok;
    }
}

QString QtDialogs::showInput(const QString& prompt, const QString& title,
                             const QString& defaultText) {
    const auto dialog = makeInputDialog(prompt, app::effectiveBoxTitle(title), defaultText, owner_);
    if (dialog->exec() != QDialog::Accepted)
        return {};
    return dialog->textValue();
}

QString QtDialogs::showFolderChooser(const QString& title, const QString& initialFolder) {
    QFileDialog dialog(owner_, title, initialFolder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

QString QtDialogs::showSaveDialog(const app::SaveDialogRequest& request) {
    QFileDialog dialog(owner_, request.title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.filters);
    dialog.setDefaultSuffix(QString());
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

int QtDialogs::showChoice(const app::ChoiceRequest& request) {
    QMessageBox box(QMessageBox::Question, app::effectiveBoxTitle(request.title),
                    textForDisplay(request.text), QMessageBox::NoButton, owner_);
    box.setTextFormat(Qt::PlainText);
    QList<QAbstractButton*> buttons;
    for (const QString& label : request.buttons)
        buttons.append(box.addButton(label, QMessageBox::ActionRole));
    if (buttons.isEmpty())
        return -1;
    box.setDefaultButton(
        qobject_cast<QPushButton*>(buttons.value(request.defaultButton, buttons.first())));
    box.setEscapeButton(buttons.value(request.escapeButton, buttons.first()));
    box.exec();
    const qsizetype pressed = buttons.indexOf(box.clickedButton());
    return pressed >= 0 ? int(pressed) : request.escapeButton;
}

} // namespace quillmere::window
