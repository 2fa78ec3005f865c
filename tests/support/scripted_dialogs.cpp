#include "support/scripted_dialogs.h"

namespace quillmere::test {

void ScriptedDialogs::record(const Shown& box) {
    shown_.append(box);
    if (onShow)
        onShow(box);
}

QList<ScriptedDialogs::Shown> ScriptedDialogs::messages() const {
    QList<Shown> result;
    for (const Shown& box : shown_) {
        if (box.kind == Kind::Message)
            result.append(box);
    }
    return result;
}

app::BoxAnswer ScriptedDialogs::showMessage(const QString& text, app::BoxStyle style,
                                            const QString& title) {
    record({Kind::Message, app::effectiveBoxTitle(title), text, style});
    if (!answers_.isEmpty())
        return answers_.dequeue();
    return app::boxButtons(style) == app::BoxStyle::YesNo ? app::BoxAnswer::No : app::BoxAnswer::Ok;
}

QString ScriptedDialogs::showInput(const QString& prompt, const QString& title,
                                   const QString& /*defaultText*/) {
    record({Kind::Input, app::effectiveBoxTitle(title), prompt});
    return inputs_.isEmpty() ? QString() : inputs_.dequeue();
}

QString ScriptedDialogs::showFolderChooser(const QString& title, const QString& initialFolder) {
    record({Kind::Folder, title, initialFolder});
    return folders_.isEmpty() ? QString() : folders_.dequeue();
}

QString ScriptedDialogs::showSaveDialog(const app::SaveDialogRequest& request) {
    record({Kind::Save, request.title, request.filters.join(QStringLiteral(";;"))});
    return savePaths_.isEmpty() ? QString() : savePaths_.dequeue();
}

int ScriptedDialogs::showChoice(const app::ChoiceRequest& request) {
    record({Kind::Choice, app::effectiveBoxTitle(request.title), request.text,
            app::BoxStyle::OkOnly, request.buttons, request.defaultButton});
    if (!choices_.isEmpty())
        return choices_.dequeue();
    if (!choiceLabels_.isEmpty()) {
        const QString label = choiceLabels_.dequeue();
        // A label the box does not offer is an answer the user could not give.
        return int(request.buttons.indexOf(label));
    }
    return request.defaultButton;
}

} // namespace quillmere::test
