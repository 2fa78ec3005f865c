#pragma once

#include "support/scripted_dialogs.h"
#include "window/form1.h"

#include <QTemporaryDir>
#include <QUrl>

#include <memory>

// A main window whose outside world is scripted: its own program folder, answered dialogs, a
// fixed draw, a recorded browser and a recorded end of the process.
struct FormFixture {
    QTemporaryDir programFolder;
    quillmere::test::ScriptedDialogs dialogs;
    int draw = 50;
    QList<QUrl> opened;
    int endRequests = 0;
    // None: the window makes its own, with the helper beside the test program (there is none).
    std::shared_ptr<quillmere::search::DetailSources> detailSources;

    std::unique_ptr<quillmere::window::Form1> make() {
        quillmere::window::FormServices services;
        services.dialogs = &dialogs;
        services.programFolder = programFolder.path();
        services.drawPercent = [this] { return draw; };
        services.openUrl = [this](const QUrl& url) { opened.append(url); };
        services.endProcess = [this] { ++endRequests; };
        services.detailSources = detailSources;
        return std::make_unique<quillmere::window::Form1>(services);
    }

    QString pathInProgramFolder(const QString& relative) const {
        return programFolder.path() + QLatin1Char('/') + relative;
    }
};
