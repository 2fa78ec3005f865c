// Not a test: takes the pictures of the user guide from the real window, one scene per command,
// each on a fresh window over its own copy of the sample folder. Buttons are found by their
// object names; every box is answered by script and drawn into the picture as the user would see
// it. A command that does nothing yet leaves the window as it is, and its picture shows that.
//   guide_screenshots PROGRAM_FOLDER OUTPUT_FOLDER
// writes OUTPUT_FOLDER/guide-<scene>.png, and guide-<scene>-after.png for the commands that
// change the results.

#include "search/detail_sources.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"
#include "window/app_icon.h"
#include "window/form1.h"
#include "window/qt_dialogs.h"
#include "window/report_table.h"
#include "window/results_list_actions.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QDirIterator>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

using namespace quillmere;
using namespace quillmere::window;
using namespace quillmere::test;

namespace {

bool copyTree(const QString& from, const QString& to) {
    if (!QDir().mkpath(to))
        return false;
    QDirIterator entries(from, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString source = entries.next();
        const QString target = to + source.mid(from.size());
        const bool copied =
            entries.fileInfo().isDir() ? QDir().mkpath(target) : QFile::copy(source, target);
        if (!copied)
            return false;
    }
    return true;
}

// A dialog as drawn without a window manager has no title bar; give it a plain one, so the
// picture shows the title the user reads.
QImage withTitleBar(const QImage& dialog, const QString& title, const QFont& font) {
    constexpr int kBar = 26;
    constexpr int kShadow = 4;
    QImage framed(dialog.width() + 2 + kShadow, dialog.height() + kBar + 2 + kShadow,
                  QImage::Format_ARGB32_Premultiplied);
    framed.fill(Qt::transparent);
    QPainter painter(&framed);
    painter.fillRect(kShadow, kShadow, framed.width() - kShadow, framed.height() - kShadow,
                     QColor(0, 0, 0, 60));
    const QRect frame(0, 0, dialog.width() + 2, dialog.height() + kBar + 2);
    painter.fillRect(frame, QColor(0x4a, 0x55, 0x63));
    painter.fillRect(1, 1, dialog.width(), kBar, QColor(0x2f, 0x3b, 0x4a));
    painter.setPen(Qt::white);
    painter.setFont(font);
    painter.drawText(QRect(10, 1, dialog.width() - 20, kBar), Qt::AlignVCenter | Qt::AlignLeft,
                     title);
    painter.drawImage(1, kBar + 1, dialog);
    return framed;
}

// One window over its own program folder, with the samples and the hand cursor beside it.
class Stage {
public:
    Stage(const QString& builtProgramFolder, QTemporaryDir& folder) : folder_(folder) {
        ok_ = copyTree(builtProgramFolder + QStringLiteral("/Samples"),
                       folder.path() + QStringLiteral("/Samples")) &&
              QFile::copy(builtProgramFolder + QStringLiteral("/HAND-M.CUR"),
                          folder.path() + QStringLiteral("/HAND-M.CUR"));
        dialogs.onShow = [this](const ScriptedDialogs::Shown& box) { remember(box); };
        FormServices services;
        services.dialogs = &dialogs;
        services.programFolder = folder.path();
        services.drawPercent = [] { return 50; };
        services.openUrl = [](const QUrl&) {};
        services.endProcess = [] {};
        // The reader helper of the build, as the installed program finds it beside itself.
        search::DetailSources::Setup readers;
        readers.reading.program =
            QFile::encodeName(builtProgramFolder + QStringLiteral("/quillmere-extract"));
        services.detailSources = std::make_shared<search::DetailSources>(readers);
        form_ = std::make_unique<Form1>(services);
        form_->show();
        ok_ = ok_ && QTest::qWaitForWindowExposed(form_.get());
    }

    bool ok() const { return ok_; }
    QString path(const QString& relative) const {
        return folder_.path() + QLatin1Char('/') + relative;
    }

    // Clicks the button as the user does; the picture of the command is of the moment its
    // first box showed, or of the window after it when it showed none.
    void click(int number) {
        auto* button = form_->findChild<QPushButton*>(QStringLiteral("PushButton%1").arg(number));
        if (!button) {
            std::fprintf(stderr, "guide_screenshots: no PushButton%d\n", number);
            ok_ = false;
            return;
        }
        picture_.reset();
        QTest::mouseClick(button, Qt::LeftButton);
        QCoreApplication::processEvents();
    }

    void searchSamples() {
        dialogs.queueAnswer(app::BoxAnswer::No); // do not open the sample folder
        click(14);
        click(1);
    }

    // Ticks rows of the results as the check boxes would.
    void tick(std::initializer_list<int> rows) {
        QAbstractItemModel* model =
            form_->findChild<QAbstractItemView*>(QStringLiteral("ListView2"))->model();
        for (int row : rows) {
            if (row < model->rowCount())
                model->setData(model->index(row, 0), Qt::Checked, Qt::CheckStateRole);
        }
        QCoreApplication::processEvents();
    }

    // Selects the row and opens the results list's menu on it, drawn into the picture where it
    // opens (a menu is a window of its own, not part of the window's picture).
    void openMenu(int row) {
        ReportTable* list = form_->ListView2();
        list->selectRow(row);
        list->setFocus();
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        const QPoint at = list->viewport()->mapTo(form_.get(), cell.center());
        QMenu* menu = form_->resultsActions().popUpMenu(form_->mapToGlobal(at));
        if (!QTest::qWaitForWindowExposed(menu))
            ok_ = false;
        const QImage drawn = menu->grab().toImage();
        QImage shot = window();
        QPainter painter(&shot);
        painter.drawImage(at, drawn);
        picture_ = shot;
        menu->close();
    }

    void typeIntoNextInput(const QString& text) {
        typed_ = text;
        dialogs.queueInput(text);
    }

    QImage picture() const { return picture_ ? *picture_ : window(); }
    QImage window() const {
        QCoreApplication::processEvents();
        return form_->grab().toImage();
    }

    ScriptedDialogs dialogs;

private:
    void remember(const ScriptedDialogs::Shown& box) {
        using Kind = ScriptedDialogs::Kind;
        if (!form_ || picture_ || (box.kind != Kind::Message && box.kind != Kind::Input))
            return;
        std::unique_ptr<QDialog> dialog;
        if (box.kind == Kind::Message)
            dialog = makeMessageBox(box.text, box.style, box.title, form_.get());
        else
            dialog = makeInputDialog(box.text, box.title, typed_, form_.get());
        dialog->show();
        if (!QTest::qWaitForWindowExposed(dialog.get()))
            ok_ = false;
        const QImage drawn = withTitleBar(dialog->grab().toImage(), box.title, form_->font());
        dialog->hide();

        // Centred on the window, as the desktop places a box over its owner.
        QImage shot = window();
        QPainter painter(&shot);
        painter.drawImage((shot.width() - drawn.width()) / 2,
                          qMax(0, (shot.height() - drawn.height()) / 2), drawn);
        picture_ = shot;
    }

    QTemporaryDir& folder_;
    std::unique_ptr<Form1> form_;
    std::optional<QImage> picture_;
    QString typed_;
    bool ok_ = true;
};

struct Scene {
    const char* name;
    bool pictureAfter; // the command changes the results: show them after it too
    std::function<void(Stage&)> play;
};

const Scene kScenes[] = {
    {"search", false, [](Stage& s) { s.searchSamples(); }},
    {"filters", true,
     [](Stage& s) {
         s.searchSamples();
         s.typeIntoNextInput(QStringLiteral(".jpg"));
         s.click(11); // "Remove Results Not Containing"
     }},
    {"menu", false,
     [](Stage& s) {
         s.searchSamples();
         s.openMenu(1);
     }},
    {"export", false,
     [](Stage& s) {
         s.searchSamples();
         s.tick({0, 1, 2});
         s.dialogs.queueSavePath(s.path(QStringLiteral("Kodak photos.txt")));
         s.click(2); // "Save Results As Text File"
     }},
    {"clipboard", false,
     [](Stage& s) {
         s.searchSamples();
         s.tick({0, 1, 2});
         s.click(5); // "Copy Results To Clipboard"
     }},
    {"trash", true,
     [](Stage& s) {
         s.searchSamples();
         s.tick({1});
         s.dialogs.queueAnswer(app::BoxAnswer::Yes);
         s.click(10); // "Send Checked To Recycle Bin"
     }},
    {"move", true,
     [](Stage& s) {
         s.searchSamples();
         s.tick({0, 2});
         QDir().mkpath(s.path(QStringLiteral("Kodak")));
         s.dialogs.queueFolder(s.path(QStringLiteral("Kodak")));
         s.click(8); // "Move Checked To Folder"
     }},
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: guide_screenshots PROGRAM_FOLDER OUTPUT_FOLDER\n");
        return 2;
    }
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    test::isolateUserFolders(home);
    QApplication app(argc, argv);
    nameApplication(); // as the program does, so boxes carry the same titles
    const QString programFolder = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);

    int status = 0;
    for (const Scene& scene : kScenes) {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/quillmere-XXXXXX"));
        Stage stage(programFolder, folder);
        if (stage.ok())
            scene.play(stage);
        const QString file = QStringLiteral("%1/guide-%2").arg(output, QLatin1String(scene.name));
        if (!stage.ok() || !stage.picture().save(file + QStringLiteral(".png")) ||
            (scene.pictureAfter && !stage.window().save(file + QStringLiteral("-after.png")))) {
            std::fprintf(stderr, "guide_screenshots: scene %s failed\n", scene.name);
            status = 1;
            continue;
        }
        std::printf("%s.png: %lld boxes\n", qPrintable(file),
                    static_cast<long long>(stage.dialogs.shown().size()));
    }
    return status;
}
