#pragma once

#include "app/guard.h"
#include "folders/folder_list_view.h"
#include "folders/sample_folders_view.h"
#include "results/results_view.h"
#include "search/search_session.h"
#include "search/search_view.h"
#include "window/form1_layout.h"
#include "window/form_services.h"
#include "window/reader_notice.h"
#include "window/report_table.h"

#include <QCursor>
#include <QWidget>

#include <memory>
#include <optional>

namespace quillmere::results {
class ResultsModel;
}

namespace quillmere::window {

class PointerRules;
class ResultsListActions;
class ResultsListRows;

// The one window of the program. Start-up runs in the constructor, before the window is shown;
// closing the window ends the process at once. It shows what the handlers of the subsystems ask
// for through their views; each slot hands one event to its handler.
class Form1 : public QWidget,
              public search::SearchView,
              public folders::FolderListView,
              public folders::SampleFoldersView,
              public results::ResultsView {
    Q_OBJECT
public:
    explicit Form1(FormServices services = {}, QWidget* parent = nullptr);
    ~Form1() override;

    QTreeWidget* ListView1() const { return controls_.ListView1; }
    ReportTable* ListView2() const { return controls_.ListView2; }
    QLineEdit* Text1() const { return controls_.Text1; }
    QCheckBox* Check4() const { return controls_.Check4; }
    QCheckBox* Check5() const { return controls_.Check5; }
    ProgressBar* ProgressBar1() const { return controls_.ProgressBar1; }
    // By the number in its name: pushButton(1) is "Start Finding". Null for a number not in use.
    QPushButton* pushButton(int number) const;

    // The results the search appends to, shown in ListView2 from start-up on.
    results::ResultsModel& results() const { return *results_; }
    // Enter, the context menu and the drag of the results list.
    ResultsListActions& resultsActions() const { return *resultsActions_; }
    const search::SearchSession& searchSession() const { return searchSession_; }
    bool hasHandPicture() const { return handPicture_.has_value(); }
    QString folderListHeader() const;

    // The views' calls, shared by every subsystem that asks for them.
    int folderRowCount() const override;
    QString folderRowText(int row) const override;
    void appendFolderRow(const QString& text) override;
    void removeFolderRow(int row) override;
    int currentFolderRow() const override;
    void setFolderListHeader(const QString& text) override;
    QString phrase() const override;
    void setPhrase(const QString& text) override;
    bool matchCase() const override;
    bool searchInSubfolders() const override;
    QString startCaption() const override;
    void setStartCaption(const QString& caption) override;
    void setProgressValue(int percent) override;
    void setProgressText(const QString& text) override;
    int mousePointer() const override { return mousePointer_; }
    void setMousePointer(int value) override;
    bool searchRunning() const override { return searchSession_.searchRunning(); }
    // Opens a folder or web page in the desktop's own program, without waiting for it.
    void openUrl(const QUrl& url) override { services_.openUrl(url); }

    void redrawResults() override;

public slots:
    void PushButton1_Click();
    void PushButton3_Click();
    void PushButton8_Click();
    void PushButton9_Click();
    void PushButton10_Click();
    void PushButton12_Click();
    void PushButton14_Click();
    // The results commands.
    void PushButton2_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void PushButton11_Click();
    void PushButton17_Click();
    void ListView1_DblClick();
    // True when the key was Delete, which the list then does not see.
    bool ListView1_KeyDown(int key);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Text1_Change();

    FormServices services_;
    std::unique_ptr<app::Dialogs> ownDialogs_;
    app::Dialogs* dialogs_ = nullptr;
    QString programFolder_;
    Form1Controls controls_;
    results::ResultsModel* results_ = nullptr;
    std::unique_ptr<ResultsListRows> foundRows_; // the search's rows, into results_
    search::SearchSession searchSession_;
    ReaderNotice readerNotice_; // what the user was told of the readers after searches
    PointerRules* pointerRules_ = nullptr;
    ResultsListActions* resultsActions_ = nullptr;
    int mousePointer_ = 0;
    std::optional<QCursor> handPicture_;
};

} // namespace quillmere::window
