#include "window/pointer_rules.h"

#include "app/mouse_pointer.h"
#include "window/form1.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QHeaderView>
#include <QTableView>
#include <QTreeView>

namespace quillmere::window {

namespace {

// The column headers of a list, which are a widget of their own.
QHeaderView* columnHeader(QAbstractItemView& view) {
    if (auto* tree = qobject_cast<QTreeView*>(&view))
        return tree->header();
    if (auto* table = qobject_cast<QTableView*>(&view))
        return table->horizontalHeader();
    return nullptr;
}

} // namespace

const QList<HoverSurface>& PointerRules::surfaces() {
    using R = HoverRule;
    static const QList<HoverSurface> table = {
        {"Form1", R::DefaultUnlessBusy},
        {"Frame1", R::DefaultUnlessBusy},
        {"Text1", R::DefaultUnlessBusy},
        {"Frame2", R::DefaultUnlessBusy},
        {"ListView1", R::DefaultUnlessBusy},
        {"ListView2", R::DefaultUnlessBusy},
        {"PushButton3", R::HandUnlessBusy},
        {"PushButton12", R::HandUnlessBusy},
        {"PushButton9", R::HandUnlessBusy},
        {"PushButton14", R::HandUnlessBusy},
        {"PushButton2", R::HandUnlessBusy},
        {"PushButton5", R::HandUnlessBusy},
        {"PushButton6", R::HandUnlessBusy},
        {"PushButton17", R::HandUnlessBusy},
        {"PushButton11", R::HandUnlessBusy},
        {"PushButton10", R::HandUnlessBusy},
        {"PushButton8", R::HandUnlessBusy},
        {"PushButton1", R::HandAlways},
        {"Check4", R::None},
        {"Check5", R::None},
        {"ProgressBar1", R::None},
    };
    return table;
}

PointerRules::PointerRules(Form1& form) : QObject(&form), form_(form) {
    for (const HoverSurface& surface : surfaces()) {
        const QString name = QString::fromLatin1(surface.name);
        QWidget* widget = name == form.objectName() ? &form : form.findChild<QWidget*>(name);
        if (!widget)
            continue;
        watch(widget, surface.rule);
        // A list's rows and header are widgets of their own.
        if (auto* view = qobject_cast<QAbstractItemView*>(widget)) {
            watch(view->viewport(), surface.rule);
            if (QHeaderView* header = columnHeader(*view)) {
                watch(header, surface.rule);
                watch(header->viewport(), surface.rule);
            }
        }
    }
}

void PointerRules::watch(QWidget* surface, HoverRule rule) {
    rules_.insert(surface, rule);
    surface->setMouseTracking(true);
    // Without this, a move over a check box or a button would reach the frame or window beneath
    // and run their rule as well.
    if (surface != &form_)
        surface->setAttribute(Qt::WA_NoMousePropagation);
    surface->installEventFilter(this);
}

bool PointerRules::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseMove)
        return false;
    const auto found = rules_.constFind(watched);
    if (found == rules_.constEnd())
        return false;
    const bool busy = form_.mousePointer() == app::pointer::Busy;
    switch (*found) {
    case HoverRule::DefaultUnlessBusy:
        if (!busy)
            form_.setMousePointer(app::pointer::Default);
        break;
    case HoverRule::HandUnlessBusy:
        if (!busy)
            form_.setMousePointer(app::pointer::Hand);
        break;
    case HoverRule::HandAlways:
        form_.setMousePointer(app::pointer::Hand);
        break;
    case HoverRule::None:
        break;
    }
    return false;
}

} // namespace quillmere::window
