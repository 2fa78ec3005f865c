#pragma once

#include <QProgressBar>

namespace quillmere::window {

// A progress bar (0 to 100) that shows the text it was given, verbatim: the stock format string
// would turn "50%mix" into "50100ix" and show nothing after reset().
class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    QString text() const override { return text_; }
    void setText(const QString& text);

private:
    QString text_;
};

} // namespace quillmere::window
