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

namespace quillmere::details {
class ReaderFamily;
struct FileToRead;
} // namespace quillmere::details

namespace quillmere::search::extraction {

// Where the readers run: in `quillmere-extract` helpers under a sandbox, one per reading call at a
// time, or in this process (for comparison, and where the kernel has no seccomp to confine a
// helper with).
enum class Isolation { Helpers, InProcess };

struct Settings {
    Isolation isolation = Isolation::Helpers;
    HelperLimits limits;
    QByteArray program; // the helper to run; empty: the one beside this program
    // The helper without FFmpeg, for the families that need none; empty: the one beside this
    // program when `program` is empty too, else `program` reads every family.
    QByteArray leanProgram;
    // The reader module, loaded only to read in this process; empty: the one beside this program.
    QByteArray readerModule;
};

// A file whose reader failed, so that it lost its embedded details.
struct ReaderFault {
    // Now: in this process's helper. Remembered: the detail store remembers it from an earlier
    // run, for the same file as it is now.
    enum class Origin { Now, Remembered };
    QByteArray nativePath;
    QString cause;        // what became of the reader, in words for the user
    bool lasting = false; // the same file would fail in the same way again
    Origin origin = Origin::Now;
};
using FaultListener = std::function<void(const ReaderFault& fault)>;

struct Extraction {
    // NotRead: no helper could read the file (none beside the program, none could start, none
    // said it was ready in time), so nothing is known of it; the next search must try again.
    enum class Outcome { Read, NotItsKind, Failed, NotRead } outcome = Outcome::NotItsKind;
    details::ColumnValues values;
    QString failure;         // when Failed
    bool lasting = false;    // Failed in a way the same file would fail in again, not by time
    bool incomplete = false; // Read, but the reader failed part-way
    // Answered by a helper that failed later in the same batch: good for this search, but not
    // to be remembered, since that helper may have been taken over by a file it read. Known only
    // once the batch is over: a caller that took the answer as it settled has `life` say the
    // same, as it ends with a fault.
    bool untrusted = false;
    // The life of the helper that answered, when one did: what it said is remembered only once
    // that life ended without a fault.
    std::shared_ptr<HelperLife> life;
};

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

struct FileRead {
    const details::ReaderFamily* reader;
    const details::FileToRead* file;
};

// The readers of embedded details under one set of settings, with the helpers they run in, what
// they failed on, and what the user is to hear of it.
class Extractor {
public:
    // `tell` hears of every file whose reader failed in a helper, from the thread that read it.
    Extractor(Settings settings, FaultListener tell);
    // Stops the idle helpers, and lets go of their zygote once none of them is held any more.
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    const Settings& settings() const;

    // Reads the embedded details of `file` (whose descriptor must be open) with `reader`, in a
    // helper unless the settings say otherwise or the kernel has no seccomp. A file whose helper
    // failed is tried once more in a fresh helper before it counts as failed; it is then not read
    // again by this extractor: later calls fail at once, without telling again. Where no helper
    // can start, files are NotRead, never read here; starting one is tried again at most once a
    // second.
    Extraction extract(const details::ReaderFamily& reader, const details::FileToRead& file);
    // The same for many files at once, in the order given: those a helper reads go to one helper
    // in batches, one request each. When a helper fails in the middle of a batch, the file it was
    // reading is tried once more alone in a fresh helper and the rest of the batch goes to
    // another fresh helper. `settled`, when given, is told of each file as soon as its result is
    // final (a batch's files once all its answers are in), and may take the result's values: a
    // batch's answers may hold a megabyte a file.
    using Settled = std::function<void(size_t index, Extraction& result)>;
    std::vector<Extraction> extract(std::span<const FileRead> files, const Settled& settled = {});

    // What the user is to hear of where the readers ran, counted since the extractor was made;
    // a search compares the figures before and after it.
    ReadingNotice readingNotice() const;

    // The helpers running now, idle ones included.
    std::vector<pid_t> runningHelpers() const;
    // Helpers no reading holds at the moment.
    std::size_t idleHelpers() const;
    // A search ended: its helpers that are idle now end without a fault, so what they answered
    // is remembered (a helper's answers are kept only once its life ended cleanly), and the
    // spares forked for it end too.
    void retireIdleHelpers();
    // The zygotes the helpers are forked from: the lean helper's and the whole one's.
    static std::vector<pid_t> runningZygotes();
    // Helpers forked from them ahead of need, whose lives have not started.
    static std::vector<pid_t> spareHelpers();

    struct Parts; // defined in the source file only

private:
    std::unique_ptr<Parts> parts_;
};

} // namespace quillmere::search::extraction
