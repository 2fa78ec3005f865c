#include "form_fixture.h"
#include "results/results_model.h"
#include "support/test_files.h"
#include "support/test_main.h"
#include "window/form1.h"
#include "window/form1_layout.h"
#include "window/report_table.h"
#include "window/results_list_actions.h"
#include "window/session_bus_probe.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>

#include <cstdio>

#include <unistd.h>

using namespace quillmere;
using namespace quillmere::window;
using namespace quillmere::results;
using namespace quillmere::test;

// A file manager on the private bus: records what it was asked to show, or never answers.
class StandInFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    bool answer = true;
    QList<QStringList> shown;

public slots:
    void ShowItems(const QStringList& uris, const QString&, const QDBusMessage& message) {
        shown.append(uris);
        if (!answer)
            message.setDelayedReply(true); // and no reply ever comes
    }
};

namespace {

const QByteArray kLatin1Name = "caf\xe9.txt";       // not UTF-8
const QByteArray kControlName = "two\nlines\t.txt"; // one path, two lines unless escaped

QStringList menuTexts(const QMenu& menu) {
    QStringList texts;
    for (const QAction* action : menu.actions())
        if (!action->isSeparator())
            texts << action->text() + (action->isEnabled() ? QString() : QStringLiteral(" (off)"));
    return texts;
}

QMenu* openMenu() {
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

void trigger(QMenu* menu, const QString& objectName) {
    QAction* action = nullptr;
    for (QAction* a : menu->actions())
        if (a->objectName() == objectName)
            action = a;
    QVERIFY2(action, qPrintable(objectName));
    action->trigger();
    menu->close();
}

} // namespace

class TestResultsListActions : public QObject {
    Q_OBJECT

    QProcess bus_;
    QByteArray busAddress_;
    QTemporaryDir dir_;
    QByteArray root_;

    // A window whose results list holds three real files, the first two in one folder.
    std::unique_ptr<Form1> makeForm(FormFixture& fixture) {
        auto form = fixture.make();
        ResultsModel& results = form->results();
        results.appendRow(root_ + "/a/" + kLatin1Name, QStringLiteral("[Name] caf\uFFFD.txt"));
        results.appendRow(root_ + "/a/" + kControlName, QStringLiteral("[Size] 5 bytes"));
        results.appendRow(root_ + "/b/plain name.txt", QStringLiteral("[Name] plain name.txt"));
        form->show();
        return form;
    }

    void select(Form1& form, std::initializer_list<int> rows) {
        ReportTable* list = form.ListView2();
        list->clearSelection();
        for (const int row : rows)
            list->selectionModel()->select(form.results().index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        if (rows.size() > 0)
            list->selectionModel()->setCurrentIndex(form.results().index(*rows.begin(), 0),
                                                    QItemSelectionModel::NoUpdate);
        list->setFocus();
    }

    QList<QByteArray> paths(const Form1& form) {
        QList<QByteArray> all;
        for (int r = 0; r < form.results().rowCount(); ++r)
            all << form.results().row(r).nativePath;
        return all;
    }

private slots:
    void initTestCase() {
        root_ = QFile::encodeName(dir_.path());
        QVERIFY(makeTree(
            root_, {"a/", "a/" + kLatin1Name, "a/" + kControlName, "b/", "b/plain name.txt"}));
        // A session bus of our own: the tests never talk to the user's.
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed (scripts/setup.sh installs it)");
        bus_.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                            QStringLiteral("--print-address=1")});
        QVERIFY(bus_.waitForReadyRead(10000));
        busAddress_ = bus_.readLine().trimmed();
        QVERIFY(!busAddress_.isEmpty());
        qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress_);
        // The window's probe at start-up takes a real bus for one.
        QCOMPARE(probeBus(busAddress_, std::chrono::seconds(10)), BusGreeting::Answered);
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }

    void cleanupTestCase() {
        // QTemporaryDir cannot remove a name that is not UTF-8.
        QVERIFY(std::remove((root_ + "/a/" + kLatin1Name).constData()) == 0);
        bus_.kill();
        bus_.waitForFinished();
    }

    // Enter opens each selected row by its own bytes; double-click opens nothing and Enter with
    // nothing selected nothing either; over ten rows it asks first. The order never changes.
    void enterOpensTheSelectedFiles() {
        FormFixture fixture;
        auto form = makeForm(fixture);
        const QList<QByteArray> before = paths(*form);
        select(*form, {0, 2});
        QTest::keyClick(form->ListView2(), Qt::Key_Return);
        QCOMPARE(fixture.opened.size(), 2);
        QCOMPARE(fixture.opened[0].toEncoded(), "file://" + root_ + "/a/caf%E9.txt");
        QCOMPARE(fixture.opened[1].toEncoded(), "file://" + root_ + "/b/plain%20name.txt");
        QCOMPARE(QFile::encodeName(fixture.opened[1].toLocalFile()), root_ + "/b/plain name.txt");

        fixture.opened.clear();
        const QRect row = form->ListView2()->visualRect(form->results().index(1, 1));
        QTest::mouseDClick(form->ListView2()->viewport(), Qt::LeftButton, {}, row.center());
        QTest::keyClick(form->ListView2(), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(fixture.opened.size(), 1); // the keypad's Enter, on the row double-clicked
        QCOMPARE(paths(*form), before);
        select(*form, {});
        QTest::keyClick(form->ListView2(), Qt::Key_Return);
        QCOMPARE(fixture.opened.size(), 1);

        for (int i = 0; i < 11; ++i)
            form->results().appendRow(root_ + "/many" + QByteArray::number(i), QString());
        form->ListView2()->selectAll();
        fixture.dialogs.queueAnswer(app::BoxAnswer::No);
        QTest::keyClick(form->ListView2(), Qt::Key_Return);
        QCOMPARE(fixture.dialogs.messages().last().text, QStringLiteral("Open 14 files?"));
        QCOMPARE(fixture.opened.size(), 1);
    }

    // The right button, the Menu key and Shift+F10 open the same menu, with short texts that have
    // accessible names; commands for the selection are off without one.
    void theMenuOpensFromMouseAndKeyboard() {
        FormFixture fixture;
        auto form = makeForm(fixture);
        const QStringList allOn = {QStringLiteral("&Open"),
                                   QStringLiteral("Open Containing &Folder"),
                                   QStringLiteral("&Copy Path"),
                                   QStringLiteral("&Tick Selected"),
                                   QStringLiteral("&Untick Selected"),
                                   QStringLiteral("Tick &All"),
                                   QStringLiteral("Untick A&ll"),
                                   QStringLiteral("Show All &Details\u2026")};
        select(*form, {1});
        const QRect row = form->ListView2()->visualRect(form->results().index(1, 0));
        QContextMenuEvent click(QContextMenuEvent::Mouse, row.center(),
                                form->ListView2()->viewport()->mapToGlobal(row.center()));
        QApplication::sendEvent(form->ListView2()->viewport(), &click);
        QMenu* menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(menuTexts(*menu), allOn);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(menu);
        QVERIFY(accessible);
        QCOMPARE(accessible->child(0)->text(QAccessible::Name), QStringLiteral("Open"));
        QCOMPARE(accessible->child(9)->text(QAccessible::Name),
                 QStringLiteral("Show All Details\u2026"));
        menu->close();
        QTRY_VERIFY(!openMenu());

        // The keyboard's context-menu event is left to the key press, so one press is one menu.
        QContextMenuEvent key(QContextMenuEvent::Keyboard, {},
                              form->ListView2()->mapToGlobal(QPoint()));
        QApplication::sendEvent(form->ListView2(), &key);
        QVERIFY(!openMenu());
        select(*form, {0, 2});
        QTest::keyClick(form->ListView2(), Qt::Key_Menu);
        menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(menuTexts(*menu).last(), QStringLiteral("Show All &Details\u2026 (off)"));
        menu->close();
        QTRY_VERIFY(!openMenu());

        select(*form, {});
        QTest::keyClick(form->ListView2(), Qt::Key_F10, Qt::ShiftModifier);
        menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(
            menuTexts(*menu),
            QStringList(
                {QStringLiteral("&Open (off)"), QStringLiteral("Open Containing &Folder (off)"),
                 QStringLiteral("&Copy Path (off)"), QStringLiteral("&Tick Selected (off)"),
                 QStringLiteral("&Untick Selected (off)"), QStringLiteral("Tick &All"),
                 QStringLiteral("Untick A&ll"), QStringLiteral("Show All &Details\u2026 (off)")}));
        menu->close();
        QCOMPARE(form->ListView2()->toolTip(), kListToolTip);
    }

    // A cell shows its whole text on one line and as what it is, by the program's one escaping
    // rule: a line break hid the rest of a name under its row, and a reversing mark made
    // "gpj.\u202eexe.txt" read as another name. Other text, backslashes included, stays as it is.
    void cellsShowTheirTextOnOneLine() {
        FormFixture fixture;
        auto form = makeForm(fixture);
        ResultsModel& results = form->results();
        results.appendRow(root_ + "/b/gpj.\xe2\x80\xae"
                                  "exe.txt",
                          QStringLiteral("[Comments] one\ntwo"));
        results.appendRow(root_ + "/b/back\\slash", QStringLiteral("[Name] back\\slash"));
        ReportTable* list = form->ListView2();
        QStringList shown;
        for (int row = 0; row < results.rowCount(); ++row)
            for (const int column :
                 {int(ResultsModel::PathColumn), int(ResultsModel::LabelColumn)}) {
                const QModelIndex cell = results.index(row, column);
                const auto* delegate =
                    qobject_cast<QStyledItemDelegate*>(list->itemDelegateForIndex(cell));
                QVERIFY(delegate);
                shown << delegate->displayText(cell.data(), QLocale()).replace(dir_.path(), "~");
            }
        QCOMPARE(shown,
                 (QStringList{"~/a/caf\uFFFD.txt", "[Name] caf\uFFFD.txt", "~/a/two\\nlines\\t.txt",
                              "[Size] 5 bytes", "~/b/plain name.txt", "[Name] plain name.txt",
                              "~/b/gpj.\\u202eexe.txt", "[Comments] one\\ntwo", "~/b/back\\slash",
                              "[Name] back\\slash"}));
    }

    // A cell's tip shows the cell's text as text. A name or a detail that reads as markup was
    // laid out as a page, and a picture tag in it had the tip load the file it named (a FIFO
    // there would hang the window, a device fill its memory).
    void cellTipsShowTheirTextAsText() {
        FormFixture fixture;
        auto form = fixture.make();
        const QString picture = dir_.path() + QStringLiteral("/picture.png");
        QImage image(300, 300, QImage::Format_RGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(picture));
        const QString tag = QStringLiteral("<img src=\"%1\"> & <b>bold</b>").arg(picture);
        ResultsModel& results = form->results();
        results.appendRow(root_ + "/b/" + tag.toUtf8(), QStringLiteral("[Title] ") + tag);
        form->show();
        ReportTable* list = form->ListView2();
        for (const int column : {int(ResultsModel::PathColumn), int(ResultsModel::LabelColumn)}) {
            const QModelIndex cell = results.index(0, column);
            const QPoint at = list->visualRect(cell).center();
            QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
            QApplication::sendEvent(list->viewport(), &help);
            QLabel* tip = nullptr;
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (widget->objectName() == QLatin1String("qtooltip_label") && widget->isVisible())
                    tip = qobject_cast<QLabel*>(widget);
            QVERIFY(tip);
            const QTextDocument* page = tip->findChild<QTextDocument*>();
            QCOMPARE(page ? page->toPlainText() : tip->text(), cell.data().toString());
            QVERIFY(tip->sizeHint().height() < 100);
            QToolTip::hideText();
        }
    }

    // Copy Path and a drag offer the same exact bytes: file URIs with every byte outside the
    // unreserved set percent-encoded, and one escaped path per line as text. A drag only copies.
    void copyPathAndDragOfferExactPaths() {
        FormFixture fixture;
        auto form = makeForm(fixture);
        select(*form, {0, 1});
        form->resultsActions().popUpMenu({0, 0});
        trigger(openMenu(), QStringLiteral("Copy Path"));
        const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
        QVERIFY(copied);
        const QByteArray uris =
            "file://" + QUrl::toPercentEncoding(dir_.path(), "/") + "/a/caf%E9.txt\r\nfile://" +
            QUrl::toPercentEncoding(dir_.path(), "/") + "/a/two%0Alines%09.txt\r\n";
        QCOMPARE(copied->data(QStringLiteral("text/uri-list")), uris);
        QCOMPARE(copied->text(), dir_.path() + QStringLiteral("/a/caf\\xe9.txt\n") + dir_.path() +
                                     QStringLiteral("/a/two\\nlines\\t.txt"));

        const QModelIndexList dragged = form->ListView2()->selectionModel()->selectedIndexes();
        QCOMPARE(dragged.size(), 4); // both columns of both rows: each path once
        std::unique_ptr<QMimeData> drag(form->results().mimeData(dragged));
        QCOMPARE(drag->formats(),
                 QStringList({QStringLiteral("text/uri-list"), QStringLiteral("text/plain")}));
        QCOMPARE(drag->data(QStringLiteral("text/uri-list")), uris);
        QCOMPARE(drag->text(), copied->text());
        QCOMPARE(form->results().supportedDragActions(), Qt::CopyAction);
        QCOMPARE(form->ListView2()->dragDropMode(), QAbstractItemView::DragOnly);
        QVERIFY(form->results().flags(dragged.first()) & Qt::ItemIsDragEnabled);
    }

    // Tick and untick act on the selection or on every row, and never move one.
    void tickAndUntickFromTheMenu() {
        FormFixture fixture;
        auto form = makeForm(fixture);
        const QList<QByteArray> before = paths(*form);
        const auto ticks = [&] {
            QString t;
            for (int r = 0; r < form->results().rowCount(); ++r)
                t += form->results().row(r).checked ? u'x' : u'.';
            return t;
        };
        select(*form, {0, 2});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Tick Selected"));
        QCOMPARE(ticks(), QStringLiteral("x.x"));
        select(*form, {2});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Untick Selected"));
        QCOMPARE(ticks(), QStringLiteral("x.."));
        QSignalSpy changed(&form->results(), &QAbstractItemModel::dataChanged);
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Tick All"));
        QCOMPARE(ticks(), QStringLiteral("xxx"));
        QCOMPARE(changed.size(), 1);
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Untick All"));
        QCOMPARE(ticks(), QStringLiteral("..."));
        QCOMPARE(paths(*form), before);
    }

    // Open Containing Folder asks the file manager on the bus to show the files selected; with
    // none there, or one that does not answer in time, each folder is opened once instead.
    void openContainingFolderAsksTheFileManager() {
        if (busAddress_.isEmpty())
            QSKIP("no private bus");
        FormFixture fixture;
        auto form = makeForm(fixture);
        form->resultsActions().setFileManagerTimeout(300);
        select(*form, {0, 1, 2});
        const QByteArray a = "file://" + QUrl::toPercentEncoding(dir_.path(), "/") + "/a";

        // No file manager on the bus.
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Open Containing Folder"));
        QTRY_COMPARE(fixture.opened.size(), 2);
        QCOMPARE(fixture.opened[0].toEncoded(), a);
        QCOMPARE(fixture.opened[1].toEncoded(),
                 "file://" + QUrl::toPercentEncoding(dir_.path(), "/") + "/b");

        QDBusConnection standInBus =
            QDBusConnection::connectToBus(QString::fromLatin1(busAddress_), QStringLiteral("fm"));
        StandInFileManager manager;
        QVERIFY(standInBus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(standInBus.registerService(QStringLiteral("org.freedesktop.FileManager1")));
        fixture.opened.clear();
        select(*form, {0});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Open Containing Folder"));
        QTRY_COMPARE(manager.shown.size(), 1);
        QCOMPARE(manager.shown[0], QStringList(QString::fromLatin1(a + "/caf%E9.txt")));
        QTest::qWait(500);
        QCOMPARE(fixture.opened.size(), 0);

        manager.answer = false;
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Open Containing Folder"));
        QTRY_COMPARE(manager.shown.size(), 2);
        QTRY_COMPARE(fixture.opened.size(), 1);
        QCOMPARE(fixture.opened[0].toEncoded(), a);

        // Many files: asked first, and nothing shown on No.
        for (int i = 0; i < 11; ++i)
            form->results().appendRow(root_ + "/many" + QByteArray::number(i), QString());
        form->ListView2()->selectAll();
        fixture.dialogs.queueAnswer(app::BoxAnswer::No);
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Open Containing Folder"));
        QCOMPARE(fixture.dialogs.messages().last().text,
                 QStringLiteral("Show 14 files in their folders?"));
        QTest::qWait(100);
        QCOMPARE(manager.shown.size(), 2);
        QCOMPARE(fixture.opened.size(), 1);
        standInBus.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fm"));
    }

    // Show All Details reads the file afresh and lists what `quillmere-cli details` prints, the
    // detail that matched marked; a file gone since the search says so.
    void showAllDetailsMarksTheMatch() {
        FormFixture fixture;
        auto form = makeForm(fixture);
        select(*form, {1});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Show All Details"));
        QTRY_COMPARE(fixture.dialogs.messages().size(), 1);
        const QStringList lines = fixture.dialogs.messages()[0].text.split(u'\n');
        QCOMPARE(fixture.dialogs.messages()[0].title, QStringLiteral("Details"));
        QCOMPARE(lines[0], dir_.path() + QStringLiteral("/a/two\\nlines\\t.txt"));
        QCOMPARE(lines[1], QStringLiteral("  0 Name: two\\nlines\\t.txt"));
        QCOMPARE(lines[2], QStringLiteral("> 1 Size: 5 bytes"));
        QCOMPARE(lines.filter(QStringLiteral("> ")).size(), 1);

        QVERIFY(writeBytes(root_ + "/b/gone.txt", "x"));
        form->results().appendRow(root_ + "/b/gone.txt", QStringLiteral("[Name] gone.txt"));
        QVERIFY(QFile::remove(dir_.path() + QStringLiteral("/b/gone.txt")));
        select(*form, {3});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Show All Details"));
        QTRY_COMPARE(fixture.dialogs.messages().size(), 2);
        QVERIFY(fixture.dialogs.messages()[1].text.endsWith(
            QStringLiteral("This file is no longer there.")));

        // A name longer than the system takes cannot be looked at, but is not gone.
        form->results().appendRow(root_ + "/b/" + QByteArray(300, 'x'), QStringLiteral("[Name] x"));
        select(*form, {4});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Show All Details"));
        QTRY_COMPARE(fixture.dialogs.messages().size(), 3);
        const QString tooLong = fixture.dialogs.messages()[2].text;
        QVERIFY2(tooLong.contains(QStringLiteral("> 0 Name: xxx")) &&
                     tooLong.endsWith(QStringLiteral("cannot read metadata: File name too long")),
                 qPrintable(tooLong));

        // A value longer than a box can lay out at once is cut, with its length.
        const QByteArray far = root_ + "/b/far";
        QVERIFY(::symlink(QByteArray(3000, 'f').constData(), far.constData()) == 0);
        form->results().appendRow(far, QStringLiteral("[Name] far"));
        select(*form, {5});
        trigger(form->resultsActions().popUpMenu({0, 0}), QStringLiteral("Show All Details"));
        QTRY_COMPARE(fixture.dialogs.messages().size(), 4);
        const QString cut = fixture.dialogs.messages()[3].text;
        QVERIFY2(cut.contains(QStringLiteral("  8 Link target: ") + QString(1000, u'f') +
                              QStringLiteral("\u2026 (3000 characters in all)\n")),
                 qPrintable(cut.left(200)));
    }
};

QUILLMERE_TEST_MAIN(TestResultsListActions)
#include "test_results_list_actions.moc"
