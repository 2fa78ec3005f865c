#pragma once

#include "folders/folder_list_view.h"
#include "folders/sample_folders_view.h"

#include <QList>
#include <QStringList>
#include <QUrl>

// The window as the folder commands see it: plain values.
struct FakeFolderListView : quillmere::folders::FolderListView {
    QStringList rows;
    int current = -1;
    int pointer = 0;
    bool searching = false;

    int folderRowCount() const override { return int(rows.size()); }
    void appendFolderRow(const QString& text) override { rows << text; }
    void removeFolderRow(int row) override { rows.removeAt(row); }
    int currentFolderRow() const override { return current; }
    int mousePointer() const override { return pointer; }
    void setMousePointer(int value) override { pointer = value; }
    bool searchRunning() const override { return searching; }
};

struct FakeSampleFoldersView : quillmere::folders::SampleFoldersView {
    QStringList rows;
    QString phrase;
    QList<QUrl> opened;

    void appendFolderRow(const QString& text) override { rows << text; }
    void setPhrase(const QString& text) override { phrase = text; }
    void openUrl(const QUrl& url) override { opened << url; }
};
