#pragma once

#include "app/dialogs.h"

#include <QList>
#include <QQueue>
#include <QStringList>

#include <functional>

// A Dialogs that shows nothing: tests queue the answers and read back every box that was asked.
namespace quillmere::test {

class ScriptedDialogs : public app::Dialogs {
public:
    enum class Kind { Message, Input, Folder, Save, Choice };
    struct Shown {
        Kind kind;
        QString title; // as the user would see it: the application title when none was given
        QString text;  // message, prompt, or for the folder chooser the initial folder
        app::BoxStyle style = app::BoxStyle::OkOnly; // message boxes only
        QStringList buttons = {};                    // choice boxes only
        int defaultButton = 0;                       // choice boxes only
    };

    // Unanswered questions get: OK (No for a Yes/No box), empty input, no folder, no file, the
    // default button of a choice.
    void queueAnswer(app::BoxAnswer answer) { answers_.enqueue(answer); }
    void queueInput(const QString& text) { inputs_.enqueue(text); }
    void queueFolder(const QString& path) { folders_.enqueue(path); }
    void queueSavePath(const QString& path) { savePaths_.enqueue(path); }
    // The index of the button to press, or the label, which must be on the box.
    void queueChoice(int button) { choices_.enqueue(button); }
    void queueChoice(const QString& label) { choiceLabels_.enqueue(label); }

    // Runs while a question is "open", as a nested handler would run during a modal box.
    std::function<void(const Shown&)> onShow;

    const QList<Shown>& shown() const { return shown_; }
    QList<Shown> messages() const;
    void clear() { shown_.clear(); }

protected:
    app::BoxAnswer showMessage(const QString& text, app::BoxStyle style,
                               const QString& title) override;
    QString showInput(const QString& prompt, const QString& title,
                      const QString& defaultText) override;
    QString showFolderChooser(const QString& title, const QString& initialFolder) override;
    QString showSaveDialog(const app::SaveDialogRequest& request) override;
    int showChoice(const app::ChoiceRequest& request) override;

private:
    void record(const Shown& box);

    QQueue<app::BoxAnswer> answers_;
    QQueue<QString> inputs_;
    QQueue<QString> folders_;
    QQueue<QString> savePaths_;
    QQueue<int> choices_;
    QQueue<QString> choiceLabels_;
    QList<Shown> shown_;
};

} // namespace quillmere::test
