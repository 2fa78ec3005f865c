// Not a test: shows the window after a first search of the sample folder and saves a picture of
// it, for looking at the real fonts and layout under a display server (xcb or Xvfb).
//   search_screenshot OUTPUT.png

#include "search/detail_sources.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"
#include "window/app_icon.h"
#include "window/form1.h"

#include <QPushButton>
#include <QtTest>

using namespace quillmere;
using namespace quillmere::window;
using namespace quillmere::test;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: search_screenshot OUTPUT.png\n");
        return 2;
    }
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    test::isolateUserFolders(home);
    QApplication app(argc, argv);
    nameApplication(); // as the program does, so boxes carry the same titles

    ScriptedDialogs dialogs;
    dialogs.queueAnswer(app::BoxAnswer::No);
    FormServices services;
    services.dialogs = &dialogs;
    services.programFolder = QStringLiteral(QUILLMERE_PROGRAM_FOLDER);
    services.drawPercent = [] { return 50; };
    services.openUrl = [](const QUrl&) {};
    services.endProcess = [] {};
    // The reader helper of the build, as the installed program finds it beside itself.
    search::DetailSources::Setup readers;
    readers.reading.program = QByteArrayLiteral(QUILLMERE_PROGRAM_FOLDER "/quillmere-extract");
    services.detailSources = std::make_shared<search::DetailSources>(readers);
    Form1 form(services);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return 1;

    QTest::mouseClick(form.pushButton(14), Qt::LeftButton);
    QTest::mouseClick(form.pushButton(1), Qt::LeftButton);
    if (dialogs.messages().isEmpty() || dialogs.messages().last().text != QStringLiteral("Done."))
        return 1;
    return form.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
