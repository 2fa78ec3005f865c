#include "window/progress_bar.h"

namespace quillmere::window {

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
}

void ProgressBar::setText(const QString& text) {
    text_ = text;
    update();
}

} // namespace quillmere::window
