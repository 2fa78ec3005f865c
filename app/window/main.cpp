#include "app/window/app_icon.h"
#include "app/window/form1.h"
#include "search/detail_columns.h"
#include "search/store/detail_store.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    quillmere::nameApplication();
    // Embedded details read in earlier runs; written and closed on the way out.
    const auto store = std::make_shared<quillmere::store::DetailStore>();
    quillmere::DetailColumns::useStore(store);
    quillmere::Form1 window;
    window.show();
    const int status = app.exec();
    quillmere::DetailColumns::useStore(nullptr);
    return status;
}
