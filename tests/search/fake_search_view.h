#pragma once

#include "search/search_view.h"

#include <QStringList>

#include <functional>

// The window as the search sees it: plain values, and a hook that runs whenever the folder
// list's header changes, as a click the user makes while the walk shows a folder would.
struct FakeSearchView : quillmere::search::SearchView {
    QStringList rows;
    QString phraseText;
    bool matchCaseTicked = true;
    bool deepTicked = true;
    QString caption = QStringLiteral("Start Finding");
    QString header = QStringLiteral("Folder(s)");
    int progress = 0;
    QString progressLabel = QStringLiteral("Progress Bar");
    int pointer = 0;
    std::function<void()> onHeaderChanged;

    int folderRowCount() const override { return int(rows.size()); }
    QString folderRowText(int row) const override { return rows.value(row); }
    void setFolderListHeader(const QString& text) override {
        header = text;
        if (onHeaderChanged)
            onHeaderChanged();
    }
    QString phrase() const override { return phraseText; }
    bool matchCase() const override { return matchCaseTicked; }
    bool searchInSubfolders() const override { return deepTicked; }
    QString startCaption() const override { return caption; }
    void setStartCaption(const QString& text) override { caption = text; }
    void setProgressValue(int percent) override { progress = percent; }
    void setProgressText(const QString& text) override { progressLabel = text; }
    int mousePointer() const override { return pointer; }
    void setMousePointer(int value) override { pointer = value; }
};
