#include "folders/sample_folders.h"

#include "app/dialogs.h"
#include "app/failure_report.h"
#include "app/guard.h"
#include "folders/sample_folders_view.h"

#include <QUrl>

namespace quillmere::folders {

namespace {
const QString kOpenQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?");
}

void loadSampleFolders(SampleFoldersView& view, app::Dialogs& dialogs,
                       const QString& programFolder) {
    app::Guard g(dialogs, app::location::PushButton14Click);
    // Kept as written, trailing separator included: it is not a picked path to clean.
    const QString sampleFolder = programFolder + QStringLiteral("/Samples/");
    g.step(100, [&] { view.appendFolderRow(sampleFolder); });
    app::BoxAnswer answer = app::BoxAnswer::No;
    g.step(102, [&] { answer = dialogs.messageBox(kOpenQuestion, app::BoxStyle::YesNo); });
    if (answer == app::BoxAnswer::Yes)
        g.step(104, [&] { view.openUrl(QUrl::fromLocalFile(sampleFolder)); });
    g.step(106, [&] { view.setPhrase(QStringLiteral("Kodak")); });
}

} // namespace quillmere::folders
