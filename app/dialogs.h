#pragma once

#include <QString>
#include <QStringList>

// Every modal question the window asks goes through this interface, so tests can answer them.
namespace quillmere::app {

// The buttons of a message box, and its icon added with |. The values are the box styles the
// window has always used: buttons in the low bits, the icon in bits 4 to 6.
enum class BoxStyle : int {
    OkOnly = 0,
    OkCancel = 1,
    YesNo = 4,
    Critical = 16,
    Question = 32,
    Exclamation = 48,
    Information = 64,
};

constexpr BoxStyle operator|(BoxStyle buttons, BoxStyle icon) {
    return BoxStyle(int(buttons) | int(icon));
}
constexpr BoxStyle boxButtons(BoxStyle style) {
    return BoxStyle(int(style) & 0x0f);
}
constexpr BoxStyle boxIcon(BoxStyle style) {
    return BoxStyle(int(style) & 0x70);
}

// The button that closed a message box.
enum class BoxAnswer { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

// A question answered by one of several labelled buttons.
struct ChoiceRequest {
    QString text;
    QStringList buttons;
    int defaultButton = 0; // the button Enter presses
    int escapeButton = 0;  // the answer when the box is closed without a button
    QString title;         // empty: the application title
};

struct SaveDialogRequest {
    QString title = QStringLiteral("Save");
    QStringList filters = {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")};
};

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // An empty title shows the application title.
    BoxAnswer messageBox(const QString& text, BoxStyle style = BoxStyle::OkOnly,
                         const QString& title = {}) {
        return showMessage(text, style, title);
    }
    // OK and Cancel; Cancel gives the empty text.
    QString inputBox(const QString& prompt, const QString& title = {},
                     const QString& defaultText = {}) {
        return showInput(prompt, title, defaultText);
    }
    // A chooser of existing folders opened at the initial folder; cancel gives the empty text.
    QString chooseFolder(const QString& title, const QString& initialFolder) {
        return showFolderChooser(title, initialFolder);
    }
    // The Save dialog: no overwrite prompt, no default suffix; cancel gives the empty text.
    QString showSave(const SaveDialogRequest& request = {}) { return showSaveDialog(request); }
    // Returns the index of the button pressed in request.buttons.
    int choose(const ChoiceRequest& request) { return showChoice(request); }

protected:
    virtual BoxAnswer showMessage(const QString& text, BoxStyle style, const QString& title) = 0;
    virtual QString showInput(const QString& prompt, const QString& title,
                              const QString& defaultText) = 0;
    virtual QString showFolderChooser(const QString& title, const QString& initialFolder) = 0;
    virtual QString showSaveDialog(const SaveDialogRequest& request) = 0;
    virtual int showChoice(const ChoiceRequest& request) = 0;
};

// The title a box shows: its own, or the application title when it has none.
QString effectiveBoxTitle(const QString& title);

} // namespace quillmere::app
