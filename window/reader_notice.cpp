#include "window/reader_notice.h"

#include "app/dialogs.h"
#include "search/detail_sources.h"
#include "search/search_run.h"
#include "search/search_session.h"

namespace quillmere::window {

namespace {

const QString kReadHereMessage =
    QStringLiteral("This computer's kernel cannot confine the readers of embedded details "
                   "(it has no seccomp), so they ran inside this program without their sandbox.");

// The files that got no reader since the last box about them; `cause` says why.
QString notReadMessage(quint64 files, const QString& cause) {
    return QStringLiteral("The embedded details of %1 were not read: %2.\r\n\r\n%3 searched by "
                          "name, size, dates and type only; the next search tries the reader "
                          "again.")
        .arg(files == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(files), cause,
             files == 1 ? QStringLiteral("It was") : QStringLiteral("They were"));
}

} // namespace

void startFindingAndTell(search::SearchView& view, app::Dialogs& dialogs,
                         search::SearchSession& session, search::FoundRows& results,
                         ReaderNotice& notice) {
    const quint64 runsBefore = session.runsStarted;
    search::startFinding(view, dialogs, session, results);
    if (session.runsStarted == runsBefore || !session.detailSources)
        return; // a Stop click, a blank phrase: no search of this click read anything
    const search::extraction::ReadingNotice now =
        session.detailSources->extractor().readingNotice();
    if (now.notRead > notice.toldNotRead) {
        const quint64 files = now.notRead - notice.toldNotRead;
        notice.toldNotRead = now.notRead;
        dialogs.messageBox(notReadMessage(files, now.cause),
                           app::BoxStyle::OkOnly | app::BoxStyle::Exclamation);
    }
    if (now.readHere > 0 && now.because == search::extraction::ReadHereBecause::NoSeccomp &&
        !notice.toldReadHere) {
        notice.toldReadHere = true;
        dialogs.messageBox(kReadHereMessage, app::BoxStyle::OkOnly | app::BoxStyle::Exclamation);
    }
}

} // namespace quillmere::window
