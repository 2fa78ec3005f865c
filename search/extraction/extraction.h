#pragma once

#include "details/helper_protocol.h"
#include "search/extraction/helper_process.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <span>
#include <vector>

#include <sys/types.h>

namespace quillmere::details::readers {
class Reader;
struct FileToRead;
} // namespace quillmere::details::readers

namespace quillmere::search::extraction {

// Where the readers run: in `quillmere-extract` helpers under a sandbox, one per thread that
// reads, or in this process (for comparison, and where the kernel has no seccomp to confine a
// helper with).
enum class Isolation { Helpers, InProcess };

struct Settings {
    Isolation isolation = Isolation::Helpers;
    HelperLimits limits;
    QByteArray program; // the helper to run; empty: the one beside this program
};

// Process-wide; helpers started under earlier settings are stopped, and their zygote once none
// of them is held any more.
void configure(const Settings& settings);
Settings currentSettings();

// The helper that would run, or empty when there is none: `quillmere-extract` beside the real
// executable (symbolic links followed), unless the settings name another.
QByteArray helperProgram();

// Told about every file whose reader failed in a helper, from the thread that read it.
using FaultListener = std::function<void(const QByteArray& nativePath, const QString& cause)>;
void setFaultListener(FaultListener listener);

struct Extraction {
    // NotRead: no helper could read the file (none beside the program, none could start, none
    // said it was ready in time), so nothing is known of it; the next search must try again.
    enum class Outcome { Read, NotItsKind, Failed, NotRead } outcome = Outcome::NotItsKind;
    details::ColumnValues values;
    QString failure;         // when Failed
    bool lasting = false;    // Failed in a way the same file would fail in again, not by time
    bool incomplete = false; // Read, but the reader failed part-way
    // Answered by a helper that failed later in the same batch: good for this search, but not
    // to be remembered, since that helper may have been taken over by a file it read.
    bool untrusted = false;
    // The life of the helper that answered, when one did: what it said is remembered only once
    // that life ended without a fault.
    std::shared_ptr<HelperLife> life;
};

// Reads the embedded details of `file` (whose descriptor must be open) with `reader`, in a helper
// unless the settings say otherwise or the kernel has no seccomp. A file whose helper failed is
// tried once more in a fresh helper before it counts as failed; it is then not read again while
// this process runs: later calls fail at once, without telling the listener again. Where no
// helper can start, files are NotRead, never read here; starting one is tried again at most
// once a second.
Extraction extract(const details::readers::Reader& reader,
                   const details::readers::FileToRead& file);

// Why embedded details were not read in a sandboxed helper.
enum class HelperFault {
    None,
    Missing,     // no helper program beside this program
    CannotStart, // it could not be started, or did not say it was ready in time
};
// Why the readers ran in this process instead.
enum class ReadHereBecause { No, Asked, NoSeccomp };

// What the user is to hear of where the readers ran, counted since the process started; a
// search compares the figures before and after it.
struct ReadingNotice {
    quint64 notRead = 0;                   // files that got no reader: no helper could start
    HelperFault fault = HelperFault::None; // why, for the last of them
    QString cause;                         // the same, in words for the user
    quint64 readHere = 0;                  // files read in this process, outside any sandbox
    ReadHereBecause because = ReadHereBecause::No;
};
ReadingNotice readingNotice();

struct FileRead {
    const details::readers::Reader* reader;
    const details::readers::FileToRead* file;
};
// The same for many files at once, in the order given: those a helper reads go to the calling
// thread's helper in batches, one request each. When a helper fails in the middle of a batch, the
// file it was reading is tried once more alone in a fresh helper and the rest of the batch goes
// to another fresh helper.
std::vector<Extraction> extract(std::span<const FileRead> files);

// The calling thread reads no more for now (its search ended): its helper is retired, so that
// what the helper answered can be remembered.
void endReadingOnThisThread();

// The helpers running now under the current settings, idle ones included.
std::vector<pid_t> runningHelpers();
// The zygote the helpers are forked from, or -1 when none runs.
pid_t runningZygote();

} // namespace quillmere::search::extraction
