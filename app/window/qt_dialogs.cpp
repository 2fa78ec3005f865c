#include "app/window/qt_dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace quillmere {

QString textForDisplay(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

namespace {

QMessageBox::Icon iconFor(int style) {
    switch (style & 0x70) {
    case boxstyle::Critical:
        return QMessageBox::Critical;
    case boxstyle::Question:
        return QMessageBox::Question;
    case boxstyle::Exclamation:
        return QMessageBox::Warning;
    case boxstyle::Information:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

int QtDialogs::showMessage(const QString& text, int style, const QString& title) {
    QMessageBox box(iconFor(style), effectiveBoxTitle(title), textForDisplay(text),
                    QMessageBox::NoButton, owner_);
    // A path may look like markup; show it as it is.
    box.setTextFormat(Qt::PlainText);
    switch (style & 7) {
    case boxstyle::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        break;
    case boxstyle::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return BoxAnswer::Yes;
    case QMessageBox::No:
        return BoxAnswer::No;
    case QMessageBox::Cancel:
        return BoxAnswer::Cancel;
    default:
        return BoxAnswer::Ok;
    }
}

QString QtDialogs::showInput(const QString& prompt, const QString& title,
                             const QString& defaultText) {
    QInputDialog dialog(owner_);
    dialog.setWindowTitle(effectiveBoxTitle(title));
    dialog.setLabelText(textForDisplay(prompt));
    dialog.setTextValue(defaultText);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.textValue();
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

QString QtDialogs::showSaveDialog(const SaveDialogRequest& request) {
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

} // namespace quillmere
