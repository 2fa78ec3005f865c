#include "window/skin.h"

#include "app/failure_report.h"
#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

#include <cerrno>
#include <sys/stat.h>

namespace quillmere::window {

namespace {

constexpr qint64 kLargestSkinFile = 1 << 20;

bool isRegularFile(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

void paintBackground(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, colour);
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

QString readStyleSheet(const QString& path) {
    // Opened without blocking: the entry may have become a FIFO since it was looked at.
    errno = 0;
    const app::fs::RegularFile file(QFile::encodeName(path));
    if (!file.isOpen())
        throw app::Failure(errno != 0 ? app::fs::errorText(errno)
                                      : QStringLiteral("The skin file is not a regular file"));
    if (file.size() > kLargestSkinFile)
        throw app::Failure(QStringLiteral("The skin file is too large"));
    errno = 0;
    const QByteArray bytes = file.read(0, kLargestSkinFile + 1);
    if (bytes.size() < file.size())
        throw app::Failure(errno != 0 ? app::fs::errorText(errno)
                                      : QStringLiteral("The skin file could not be read"));
    return QString::fromUtf8(bytes);
}

} // namespace

bool applySkin(QWidget& window, const QString& programFolder) {
    const QString path = programFolder + QLatin1Char('/') + kSkinFileRelativePath;
    if (!isRegularFile(path))
        return false;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    paintBackground(window, buttonFace);
    for (QWidget* child : window.findChildren<QWidget*>()) {
        if (qobject_cast<QCheckBox*>(child) || qobject_cast<QRadioButton*>(child) ||
            qobject_cast<QGroupBox*>(child) || qobject_cast<QLabel*>(child))
            paintBackground(*child, buttonFace);
    }
    window.setStyleSheet(readStyleSheet(path));
    return true;
}

} // namespace quillmere::window
