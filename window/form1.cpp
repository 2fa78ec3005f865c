#include "window/form1.h"

#include "app/app_title.h"
#include "app/fs/path_entry.h"
#include "app/fs/safe_move.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "folders/folder_list.h"
#include "folders/sample_folders.h"
#include "results/clipboard_copy.h"
#include "results/filters.h"
#include "results/move_checked.h"
#include "results/results_model.h"
#include "results/send_checked_to_trash.h"
#include "results/text_export.h"
#include "search/detail_sources.h"
#include "search/search_run.h"
#include "window/app_icon.h"
#include "window/folder_list_events.h"
#include "window/hand_cursor.h"
#include "window/pointer_rules.h"
#include "window/progress_bar.h"
#include "window/qt_clipboard.h"
#include "window/qt_dialogs.h"
#include "window/reader_notice.h"
#include "window/results_list_actions.h"
#include "window/results_list_rows.h"
#include "window/skin.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

namespace quillmere::window {

namespace {

constexpr int kClientWidth = 15960;
constexpr int kClientHeight = 5100;
constexpr int kFolderColumnWidth = 7000;
constexpr int kResultsColumnWidth = 5000;
constexpr int kMetadataColumnWidth = 2300;

FormServices withDefaults(FormServices services) {
    if (services.programFolder.isNull())
        services.programFolder = QCoreApplication::applicationDirPath();
    if (!services.drawPercent)
        services.drawPercent = app::drawPercentFromTimeOfDay;
    if (!services.openUrl)
        services.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!services.detailSources)
        services.detailSources = std::make_shared<search::DetailSources>();
    if (!services.endProcess)
        services.endProcess = [] {
            // Nothing may run after the close: no pending handler, no destructor, no atexit. A
            // move's copy may be half written: its file goes, its source was never touched.
            app::fs::removeCopiesInFlight();
            std::fflush(nullptr);
            std::_Exit(0);
        };
    return services;
}

} // namespace

Form1::Form1(FormServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      services_(withDefaults(std::move(services))), programFolder_(services_.programFolder) {
    searchSession_.detailSources = services_.detailSources;
    if (services_.dialogs) {
        dialogs_ = services_.dialogs;
    } else {
        ownDialogs_ = std::make_unique<QtDialogs>(this);
        dialogs_ = ownDialogs_.get();
    }
    setObjectName(QStringLiteral("Form1"));
    setFixedSize(twipsToPixels(kClientWidth), twipsToPixels(kClientHeight));
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(9);
    font.setBold(true);
    setFont(font);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);
    setAutoFillBackground(true);

    controls_ = buildControls(*this);
    results_ = new results::ResultsModel(this);
    foundRows_ = std::make_unique<ResultsListRows>(*results_);
    controls_.ListView2->setModel(results_);
    // The model knows its columns; the list shows each one as start-up adds it.
    for (int column = 0; column < results_->columnCount(); ++column)
        controls_.ListView2->setColumnHidden(column, true);
    pointerRules_ = new PointerRules(*this);
    resultsActions_ = new ResultsListActions(*controls_.ListView2, *results_, *dialogs_,
                                             services_.openUrl, services_.detailSources, this);
    new FolderListEvents(*controls_.ListView1, *this);

    connect(controls_.Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    connect(pushButton(1), &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(pushButton(2), &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(pushButton(3), &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(pushButton(5), &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(pushButton(6), &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(pushButton(8), &QPushButton::clicked, this, &Form1::PushButton8_Click);
    connect(pushButton(9), &QPushButton::clicked, this, &Form1::PushButton9_Click);
    connect(pushButton(10), &QPushButton::clicked, this, &Form1::PushButton10_Click);
    connect(pushButton(11), &QPushButton::clicked, this, &Form1::PushButton11_Click);
    connect(pushButton(12), &QPushButton::clicked, this, &Form1::PushButton12_Click);
    connect(pushButton(14), &QPushButton::clicked, this, &Form1::PushButton14_Click);
    connect(pushButton(17), &QPushButton::clicked, this, &Form1::PushButton17_Click);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load() {
    app::Guard g(*dialogs_, app::location::FormLoad);
    g.step(100, [&] { applySkin(*this, programFolder_); });
    g.step(104, [&] {
        setWindowTitle(app::kProductDisplayName);
        setWindowIcon(applicationIcon());
        app::setApplicationTitle(app::applicationTitleFor(app::kProductDisplayName));
    });
    const QString cursorFile = programFolder_ + QLatin1Char('/') + kHandCursorFileName;
    if (g.test(106, [&] { return app::fs::PathEntryExists(cursorFile); }))
        g.step(108, [&] { handPicture_ = loadCursorFile(cursorFile); });
    g.step(110, [&] { app::visitHomePage(services_.drawPercent, services_.openUrl); });
    g.step(128, [&] { controls_.ListView1->setHeaderLabels({search::kFolderListHeader}); });
    g.step(130, [&] { controls_.ListView1->setColumnWidth(0, twipsToPixels(kFolderColumnWidth)); });
    g.step(132,
           [&] { controls_.ListView2->setColumnHidden(results::ResultsModel::PathColumn, false); });
    g.step(134, [&] {
        controls_.ListView2->setColumnHidden(results::ResultsModel::LabelColumn, false);
    });
    g.step(136, [&] {
        controls_.ListView2->setColumnWidth(results::ResultsModel::PathColumn,
                                            twipsToPixels(kResultsColumnWidth));
    });
    g.step(138, [&] {
        controls_.ListView2->setColumnWidth(results::ResultsModel::LabelColumn,
                                            twipsToPixels(kMetadataColumnWidth));
    });
    g.step(140,
           [&] { controls_.Text1->setText(app::GetSetting(app::settingkey::Text1, QString())); });
}

void Form1::Text1_Change() {
    try {
        app::SaveSetting(app::settingkey::Text1, controls_.Text1->text());
    } catch (...) {
        // Typing carries no failure report: a box at every keystroke would lock the user out.
    }
}

void Form1::PushButton1_Click() {
    startFindingAndTell(*this, *dialogs_, searchSession_, *foundRows_, readerNotice_);
}

void Form1::PushButton3_Click() {
    folders::addFolderToSearch(*this, *dialogs_);
}

void Form1::PushButton8_Click() {
    results::moveCheckedToFolder(*this, *dialogs_, *results_);
}

void Form1::PushButton9_Click() {
    app::showHelp(*dialogs_, app::location::PushButton9Click);
}

void Form1::PushButton10_Click() {
    results::sendCheckedToRecycleBin(*this, *dialogs_, *results_);
}

void Form1::PushButton12_Click() {
    app::showHelp(*dialogs_, app::location::PushButton12Click);
}

void Form1::PushButton14_Click() {
    folders::loadSampleFolders(*this, *dialogs_, programFolder_);
}

void Form1::ListView1_DblClick() {
    folders::removeSelectedFolderRow(*this);
}

bool Form1::ListView1_KeyDown(int key) {
    return folders::folderListKeyDown(*this, key);
}

void Form1::PushButton2_Click() {
    results::saveResultsAsTextFile(*this, *dialogs_, *results_);
}

void Form1::PushButton5_Click() {
    results::copyResultsToClipboard(*dialogs_, *results_, systemClipboard());
}

void Form1::PushButton6_Click() {
    results::clearResults(*dialogs_, *results_);
}

void Form1::PushButton11_Click() {
    results::removeResultsNotContaining(*this, *dialogs_, *results_);
}

void Form1::PushButton17_Click() {
    results::removeResultsContaining(*this, *dialogs_, *results_);
}

void Form1::closeEvent(QCloseEvent* event) {
    services_.endProcess();
    event->accept();
}

QPushButton* Form1::pushButton(int number) const {
    const auto found = controls_.pushButtons.find(number);
    return found == controls_.pushButtons.end() ? nullptr : found->second;
}

QString Form1::folderListHeader() const {
    const QTreeWidgetItem* header = controls_.ListView1->headerItem();
    return header ? header->text(0) : QString();
}

void Form1::setFolderListHeader(const QString& text) {
    controls_.ListView1->headerItem()->setText(0, text);
}

int Form1::folderRowCount() const {
    return controls_.ListView1->topLevelItemCount();
}

QString Form1::folderRowText(int row) const {
    const QTreeWidgetItem* item = controls_.ListView1->topLevelItem(row);
    return item ? item->text(0) : QString();
}

void Form1::appendFolderRow(const QString& text) {
    controls_.ListView1->addTopLevelItem(new QTreeWidgetItem(QStringList{text}));
}

void Form1::removeFolderRow(int row) {
    delete controls_.ListView1->takeTopLevelItem(row);
}

int Form1::currentFolderRow() const {
    const QList<QTreeWidgetItem*> selected = controls_.ListView1->selectedItems();
    return selected.isEmpty() ? -1 : controls_.ListView1->indexOfTopLevelItem(selected.first());
}

QString Form1::phrase() const {
    return controls_.Text1->text();
}

void Form1::setPhrase(const QString& text) {
    controls_.Text1->setText(text);
}

bool Form1::matchCase() const {
    return controls_.Check4->isChecked();
}

bool Form1::searchInSubfolders() const {
    return controls_.Check5->isChecked();
}

QString Form1::startCaption() const {
    return pushButton(1)->text();
}

void Form1::setStartCaption(const QString& caption) {
    pushButton(1)->setText(caption);
}

void Form1::setProgressValue(int percent) {
    controls_.ProgressBar1->setValue(percent);
}

void Form1::setProgressText(const QString& text) {
    controls_.ProgressBar1->setText(text);
}

void Form1::redrawResults() {
    controls_.ListView2->viewport()->update();
}

void Form1::setMousePointer(int value) {
    mousePointer_ = value;
    switch (value) {
    case app::pointer::Busy:
        setCursor(Qt::WaitCursor);
        break;
    case app::pointer::Hand:
        setCursor(handPicture_ ? *handPicture_ : QCursor(Qt::ArrowCursor));
        break;
    case app::pointer::Arrow:
        setCursor(Qt::ArrowCursor);
        break;
    default:
        unsetCursor();
        break;
    }
}

} // namespace quillmere::window
