#include "folders/sample_folders.h"

#include "app/form1.h"

#include <QLineEdit>
#include <QTreeWidget>
#include <QUrl>

namespace quillmere {

namespace {
const QString kOpenQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?");
}

void loadSampleFolders(Form1& form) {
    Guard g = form.guard(location::PushButton14Click);
    // Kept as written, trailing separator included: it is not a picked path to clean.
    const QString sampleFolder = form.programFolder() + QStringLiteral("/Samples/");
    g.step(100, [&] { form.ListView1()->addTopLevelItem(new QTreeWidgetItem({sampleFolder})); });
    int answer = 0;
    g.step(102, [&] { answer = form.dialogs().messageBox(kOpenQuestion, boxstyle::YesNo); });
    if (answer == BoxAnswer::Yes)
        g.step(104, [&] { form.openUrl(QUrl::fromLocalFile(sampleFolder)); });
    g.step(106, [&] { form.Text1()->setText(QStringLiteral("Kodak")); });
}

} // namespace quillmere
