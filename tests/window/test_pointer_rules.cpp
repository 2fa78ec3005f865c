#include "app/mouse_pointer.h"
#include "form_fixture.h"
#include "support/test_main.h"
#include "window/form1.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableView>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::test;

namespace {

// The widget that actually receives the mouse over a named surface.
QWidget* surface(Form1& form, const QString& name) {
    const QString part = name.section(QLatin1Char('.'), 1);
    QWidget* widget = name.startsWith(QLatin1String("Form1"))
                          ? &form
                          : form.findChild<QWidget*>(name.section('.', 0, 0));
    if (!widget)
        return nullptr;
    auto* view = qobject_cast<QAbstractItemView*>(widget);
    if (view && part == QLatin1String("rows"))
        return view->viewport();
    if (part == QLatin1String("header")) {
        if (auto* tree = qobject_cast<QTreeView*>(widget))
            return tree->header()->viewport();
        if (auto* table = qobject_cast<QTableView*>(widget))
            return table->horizontalHeader()->viewport();
    }
    return widget;
}

void moveOver(QWidget* widget) {
    const QPointF local(widget->width() / 2.0, widget->height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, local, widget->mapToGlobal(local), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

} // namespace

class TestPointerRules : public QObject {
    Q_OBJECT
private slots:
    void hover_data();
    void hover();
    void pointerValueSetsTheShownCursor_data();
    void pointerValueSetsTheShownCursor();
    void stopThenResultsShowsTheArrow();
    void buttonThenCheckBoxKeepsTheHand();
};

void TestPointerRules::hover_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    const QStringList defaultSurfaces = {"Form1",          "Frame1",          "Text1",
                                         "Frame2",         "ListView1.rows",  "ListView1.header",
                                         "ListView2.rows", "ListView2.header"};
    const QStringList handSurfaces = {"PushButton3",  "PushButton12", "PushButton9", "PushButton14",
                                      "PushButton2",  "PushButton5",  "PushButton6", "PushButton17",
                                      "PushButton11", "PushButton10", "PushButton8"};
    const QStringList silentSurfaces = {"Check4", "Check5", "ProgressBar1"};
    for (const QString& name : defaultSurfaces) {
        QTest::addRow("%s from 99", qPrintable(name)) << name << 99 << 0;
        QTest::addRow("%s from 1", qPrintable(name)) << name << 1 << 0;
        QTest::addRow("%s while busy", qPrintable(name)) << name << 11 << 11;
    }
    for (const QString& name : handSurfaces) {
        QTest::addRow("%s from 0", qPrintable(name)) << name << 0 << 99;
        QTest::addRow("%s while busy", qPrintable(name)) << name << 11 << 11;
    }
    QTest::addRow("Start Finding from 0") << "PushButton1" << 0 << 99;
    QTest::addRow("Stop while busy") << "PushButton1" << 11 << 99;
    for (const QString& name : silentSurfaces) {
        for (int before : {0, 1, 11, 99})
            QTest::addRow("%s at %d", qPrintable(name), before) << name << before << before;
    }
}

void TestPointerRules::hover() {
    QFETCH(QString, name);
    QFETCH(int, before);
    QFETCH(int, after);
    FormFixture fixture;
    auto form = fixture.make();
    form->show();
    QWidget* widget = surface(*form, name);
    QVERIFY2(widget, qPrintable(name));
    form->setMousePointer(before);
    moveOver(widget);
    QCOMPARE(form->mousePointer(), after);
}

void TestPointerRules::pointerValueSetsTheShownCursor_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("shape");
    QTest::addRow("default") << 0 << int(Qt::ArrowCursor);
    QTest::addRow("arrow") << 1 << int(Qt::ArrowCursor);
    QTest::addRow("busy") << 11 << int(Qt::WaitCursor);
    QTest::addRow("hand without picture") << 99 << int(Qt::ArrowCursor);
}

void TestPointerRules::pointerValueSetsTheShownCursor() {
    QFETCH(int, value);
    QFETCH(int, shape);
    FormFixture fixture;
    auto form = fixture.make();
    form->setMousePointer(pointer::Busy);
    form->setMousePointer(value);
    QCOMPARE(form->mousePointer(), value);
    QCOMPARE(int(form->cursor().shape()), shape);
    // Controls without a pointer of their own show the window's.
    QCOMPARE(int(form->pushButton(6)->cursor().shape()), shape);
}

void TestPointerRules::stopThenResultsShowsTheArrow() {
    FormFixture fixture;
    auto form = fixture.make();
    form->show();
    form->setMousePointer(pointer::Busy);
    moveOver(surface(*form, QStringLiteral("PushButton6")));
    QCOMPARE(form->mousePointer(), pointer::Busy);
    moveOver(surface(*form, QStringLiteral("ListView1.rows")));
    QCOMPARE(form->mousePointer(), pointer::Busy);
    moveOver(surface(*form, QStringLiteral("PushButton1")));
    QCOMPARE(form->mousePointer(), pointer::Hand);
    moveOver(surface(*form, QStringLiteral("ListView2.rows")));
    QCOMPARE(form->mousePointer(), pointer::Default);
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);
}

void TestPointerRules::buttonThenCheckBoxKeepsTheHand() {
    FormFixture fixture;
    auto form = fixture.make();
    form->show();
    moveOver(surface(*form, QStringLiteral("PushButton3")));
    QCOMPARE(form->mousePointer(), pointer::Hand);
    moveOver(surface(*form, QStringLiteral("Check5")));
    moveOver(surface(*form, QStringLiteral("ProgressBar1")));
    QCOMPARE(form->mousePointer(), pointer::Hand);
    moveOver(surface(*form, QStringLiteral("Frame2")));
    QCOMPARE(form->mousePointer(), pointer::Default);
}

QUILLMERE_TEST_MAIN(TestPointerRules)
#include "test_pointer_rules.moc"
