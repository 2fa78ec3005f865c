#include "search/detail_sources.h"
#include "search/store/detail_store.h"
#include "window/app_icon.h"
#include "window/form1.h"
#include "window/form_services.h"
#include "window/session_bus_probe.h"

#include <QApplication>

int main(int argc, char** argv) {
    quillmere::window::avoidSilentSessionBus();
    QApplication app(argc, argv);
    quillmere::window::nameApplication();
    // Embedded details read in earlier runs. Each search writes what it read before it shows
    // "Done.": closing the window ends the process at once, with nothing written then.
    quillmere::search::DetailSources::Setup sources;
    sources.store = std::make_shared<quillmere::search::store::DetailStore>();
    quillmere::window::FormServices services;
    services.detailSources = std::make_shared<quillmere::search::DetailSources>(sources);
    quillmere::window::Form1 window(services);
    window.show();
    return QApplication::exec();
}
