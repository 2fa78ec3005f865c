// The real window copies two ticked rows with "Copy Results To Clipboard" (or, given "copy-path",
// the two rows selected with the menu's Copy Path) and is then closed, which ends the process at
// once. Meanwhile the event loop runs for at most two seconds, as it does while the user reads
// the "copied" note; it stops early once another program owns the clipboard (the manager took
// the text). Used by test_clipboard_after_close.sh.
//   clipboard_close_client [copy-path]

#include "results/results_model.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"
#include "window/form1.h"
#include "window/report_table.h"
#include "window/results_list_actions.h"

#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    const QTemporaryDir home;
    quillmere::test::isolateUserFolders(home);
    QApplication app(argc, argv);
    quillmere::test::ScriptedDialogs dialogs;
    const QTemporaryDir programFolder;
    quillmere::window::FormServices services;
    services.dialogs = &dialogs;
    services.programFolder = programFolder.path();
    services.drawPercent = [] { return 50; };
    services.openUrl = [](const QUrl&) {};
    quillmere::window::Form1 form(services);
    auto& results = form.results();
    results.appendRow("/p/a.jpg", QStringLiteral("[Camera maker] Kodak"));
    results.appendRow("/p/\xe2\x80\xaegpj.exe", QStringLiteral("[Name] \u202Egpj.exe"));
    results.setChecked(0, true);
    results.setChecked(1, true);
    form.show();
    if (argc > 1 && QByteArrayView(argv[1]) == "copy-path") {
        form.ListView2()->selectAll();
        form.resultsActions().copySelectedPaths();
    } else {
        form.pushButton(5)->click();
    }
    const QDeadlineTimer deadline(2000);
    while (QGuiApplication::clipboard()->ownsClipboard() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    form.close();
    return 3; // the close ends the process with status 0 before this
}
