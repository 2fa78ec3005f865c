#include "search/detail_columns.h"
#include "search/store/detail_store.h"
#include "window/app_icon.h"
#include "window/form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    quillmere::window::nameApplication();
    // Embedded details read in earlier runs. Each search writes what it read before it shows
    // "Done.": closing the window ends the process at once, with nothing written then.
    const auto store = std::make_shared<quillmere::search::store::DetailStore>();
    quillmere::search::DetailColumns::useStore(store);
    quillmere::window::Form1 window;
    window.show();
    const int status = QApplication::exec();
    quillmere::search::DetailColumns::useStore(nullptr);
    return status;
}
