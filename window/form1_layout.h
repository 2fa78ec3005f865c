#pragma once

#include <QString>

#include <map>
#include <span>

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

// The main window's controls, built from one table of places and sizes in twips.
namespace quillmere::window {

class ProgressBar;
class ReportTable;

constexpr int kTwipsPerPixel = 15;
constexpr int twipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

enum class ControlKind { ListView, PushButton, Frame, TextBox, CheckBox, ProgressBar };

struct ControlEntry {
    ControlKind kind;
    const char* name;
    const char* caption;
    const char* frame; // the enclosing frame's name, or nullptr for the window
    int left, top, width, height;
    int tabIndex;
};

std::span<const ControlEntry> controlTable();

inline const QString kListToolTip = QStringLiteral(
    "Double-click item to remove it. Move | line to right and out of window to reveal full names.");
inline const QString kStartCaption = QStringLiteral("Start Finding");

struct Form1Controls {
    QTreeWidget* ListView1 = nullptr;
    ReportTable* ListView2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QCheckBox* Check4 = nullptr;
    QCheckBox* Check5 = nullptr;
    ProgressBar* ProgressBar1 = nullptr;
    std::map<int, QPushButton*> pushButtons; // by the number in the control's name
};

// Creates every control of the table on the window, with its name, caption, font, place, size
// and tab order. Columns and contents are left to start-up.
Form1Controls buildControls(QWidget& window);

} // namespace quillmere::window
