#pragma once

#include "app/form1_layout.h"
#include "app/form_services.h"
#include "app/guard.h"
#include "results/results_view.h"

#include <QCursor>
#include <QWidget>

#include <memory>
#include <optional>

class QAbstractItemModel;
class QStandardItemModel;

namespace quillmere {

class PointerRules;
class ResultsModel;

// The one window of the program. Start-up runs in the constructor, before the window is shown;
// closing the window ends the process at once.
class Form1 : public QWidget, public ResultsView {
    Q_OBJECT
public:
    explicit Form1(FormServices services = {}, QWidget* parent = nullptr);
    ~Form1() override;

    QTreeWidget* ListView1() const { return controls_.ListView1; }
    QTreeView* ListView2() const { return controls_.ListView2; }
    QLineEdit* Text1() const { return controls_.Text1; }
    QCheckBox* Check4() const { return controls_.Check4; }
    QCheckBox* Check5() const { return controls_.Check5; }
    ProgressBar* ProgressBar1() const { return controls_.ProgressBar1; }
    // By the number in its name: PushButton(1) is "Start Finding". Null for a number not in use.
    QPushButton* PushButton(int number) const;

    // The real results model replaces the start-up one; the view does not take ownership.
    void setResultsModel(QAbstractItemModel* model);
    QAbstractItemModel* resultsModel() const;
    // The results the search appends to, shown in ListView2 from start-up on.
    ResultsModel& results() const { return *results_; }

    // The folder list's column header doubles as the search status line.
    QString folderListHeader() const;
    void setFolderListHeader(const QString& text);

    int MousePointer() const { return mousePointer_; }
    void setMousePointer(int value) override;
    bool hasHandPicture() const { return handPicture_.has_value(); }

    Dialogs& dialogs() const { return *dialogs_; }
    const QString& programFolder() const { return programFolder_; }
    // Opens a folder or web page in the desktop's own program, without waiting for it.
    void openUrl(const QUrl& url) const { services_.openUrl(url); }
    Guard guard(const QString& locationText) const { return Guard(*dialogs_, locationText); }

    // The results commands' view of the window.
    int mousePointer() const override { return mousePointer_; }
    void setProgressValue(int percent) override;
    void setProgressText(const QString& text) override;
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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Text1_Change();
    void addResultsColumn(const QString& title);
    void applyResultsColumnWidths();

    FormServices services_;
    std::unique_ptr<Dialogs> ownDialogs_;
    Dialogs* dialogs_ = nullptr;
    QString programFolder_;
    Form1Controls controls_;
    QStandardItemModel* startupResultsModel_ = nullptr;
    ResultsModel* results_ = nullptr;
    PointerRules* pointerRules_ = nullptr;
    int mousePointer_ = 0;
    std::optional<QCursor> handPicture_;
};

} // namespace quillmere
