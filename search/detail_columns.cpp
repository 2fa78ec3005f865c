#include "search/detail_columns.h"

#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"
#include "details/clean_text.h"
#include "details/column_ids.h"
#include "details/mime_kinds.h"
#include "details/reader_families.h"
#include "details/value_formats.h"
#include "search/account_names.h"
#include "search/detail_sources.h"
#include "search/extraction/extraction.h"
#include "search/store/detail_store.h"

#include <QFile>
#include <QMimeDatabase>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace quillmere::search {

namespace {

// As much as the MIME database's own content rules look at.
constexpr qint64 sniffBytes = 16 * 1024;

const QMimeDatabase& mimeDatabase() {
    static const QMimeDatabase database;
    return database;
}

QString timeText(const struct statx_timestamp& t) {
    return details::shortDateTime(qint64(t.tv_sec), qint64(t.tv_nsec));
}

QByteArray lastComponent(const QByteArray& path) {
    qsizetype end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    const qsizetype slash = path.lastIndexOf('/', end - 1);
    if (slash < 0)
        return path.left(end);
    if (slash == 0 && end == 1)
        return path.left(1);
    return path.mid(slash + 1, end - slash - 1);
}

// Bytes a text file may hold; any other control byte marks binary content. The MIME database's
// content rules cost hundreds of microseconds, so text is told apart first.
bool looksLikeText(const QByteArray& head) {
    if (head.startsWith("\xff\xfe") || head.startsWith("\xfe\xff"))
        return true;
    for (const char c : head) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f' &&
            byte != 0x1b)
            return false;
    }
    return true;
}

constexpr qint64 textProbeBytes = 512;

} // namespace

// A file whose embedded details are being read: opened once, with the checks every read needs;
// the readers, in a helper or here, get only the descriptor.
struct EmbeddedReading {
    explicit EmbeddedReading(const QByteArray& path) : opened(path) {}
    enum class Asked { Nothing, ByName, ByContent };
    store::FileSignature signature;
    store::DetailStore* store = nullptr;
    qsizetype problemsBefore = 0;
    QString typeByName;
    const app::fs::RegularFile opened;
    details::FileToRead file;
    const details::ReaderFamily* chosen = nullptr; // by the name's type
    const details::ReaderFamily* asked = nullptr;  // the read waiting now
    Asked stage = Asked::Nothing;
    // The helpers that answered for the file (one per reader asked at most).
    std::vector<std::shared_ptr<extraction::HelperLife>> lives;
};

struct DetailColumns::State {
    std::array<QString, details::column::Count> values;
    std::bitset<details::column::Count> computed;

    bool statDone = false;
    bool statOk = false;
    int statError = 0;
    struct statx entry {};
    // For a symbolic link: what it points to, when that can be reached.
    bool targetOk = false;
    struct stat target {};

    bool mimeDone = false;
    QMimeType mime;
    std::optional<details::MimeKinds> kinds; // of `mime`, asked for once by three columns
    bool sniffDone = false;
    QMimeType sniffed;

    bool embeddedDone = false;
    std::array<QString, details::column::Count - details::column::FirstEmbedded> embedded;
    // Not for the store: the reader's helper timed out or was killed from outside, which says
    // nothing about the file, or the answer came from a helper that failed later in its batch.
    bool notForStore = false;
    // No reader ran at all (no helper could start): nothing of the file may be kept as known.
    bool notRead = false;
    // Why the embedded details could not be read, as the store remembers it.
    store::FaultKind fault = store::FaultKind::None;
    QString faultText;
    std::unique_ptr<EmbeddedReading> reading; // while the file is being read

    QStringList problems;
};

namespace {

using State = DetailColumns::State;

bool isLink(const State& s) {
    return s.statOk && S_ISLNK(s.entry.stx_mode);
}

// The type that decides how the item is shown: a link's target's when it can be reached.
mode_t effectiveMode(const State& s) {
    if (!s.statOk)
        return 0;
    if (isLink(s))
        return s.targetOk ? s.target.st_mode : s.entry.stx_mode;
    return s.entry.stx_mode;
}

bool isRegular(const State& s) {
    return S_ISREG(effectiveMode(s));
}
bool isFolder(const State& s) {
    return S_ISDIR(effectiveMode(s));
}

const details::MimeKinds& kindsOf(State& s) {
    if (!s.kinds)
        s.kinds = details::mimeKinds(s.mime);
    return *s.kinds;
}

// The content showed another type than the name: the columns that tell the type are shown anew.
void typeChanged(State& s, const QMimeType& type) {
    s.mime = type;
    s.kinds.reset();
    for (int c : {int(details::column::ItemType), int(details::column::PerceivedType),
                  int(details::column::Kind)})
        s.computed[size_t(c)] = false;
}

qint64 contentSize(const State& s) {
    return isLink(s) ? qint64(s.target.st_size) : qint64(s.entry.stx_size);
}

void ensureStat(const QByteArray& path, State& s) {
    if (s.statDone)
        return;
    s.statDone = true;
    if (::statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_BASIC_STATS | STATX_BTIME, &s.entry) != 0) {
        s.statError = errno;
        s.problems.append(QStringLiteral("cannot read metadata: ") + app::fs::errorText(errno));
        return;
    }
    s.statOk = true;
    if (S_ISLNK(s.entry.stx_mode)) {
        if (::stat(path.constData(), &s.target) == 0)
            s.targetOk = true;
        else
            s.problems.append(QStringLiteral("cannot reach the link's target: ") +
                              app::fs::errorText(errno));
    }
}

// Only regular files are opened: a FIFO or a device could block or have side effects.
void ensureSniffed(const QByteArray& path, State& s) {
    if (s.sniffDone)
        return;
    s.sniffDone = true;
    if (!isRegular(s))
        return;
    errno = 0;
    const app::fs::RegularFile file(path);
    if (!file.isOpen()) {
        s.problems.append(
            QStringLiteral("cannot read contents: ") +
            (errno != 0 ? app::fs::errorText(errno) : QStringLiteral("not a regular file")));
        return;
    }
    s.sniffed = mimeDatabase().mimeTypeForData(file.read(0, sniffBytes));
}

void ensureMime(const QByteArray& path, const QString& name, State& s) {
    if (s.mimeDone)
        return;
    s.mimeDone = true;
    ensureStat(path, s);
    if (!s.statOk)
        return;
    const QMimeDatabase& db = mimeDatabase();
    const mode_t mode = effectiveMode(s);
    if (S_ISREG(mode)) {
        s.mime = details::mimeTypeForFileName(name);
        if (!s.mime.isValid())
            s.mime = db.mimeTypeForName(QStringLiteral("application/octet-stream"));
        if (s.mime.isDefault()) {
            ensureSniffed(path, s);
            if (s.sniffed.isValid())
                s.mime = s.sniffed;
        }
        return;
    }
    const char* special = "application/octet-stream";
    if (S_ISDIR(mode))
        special = "inode/directory";
    else if (S_ISLNK(mode))
        special = "inode/symlink";
    else if (S_ISFIFO(mode))
        special = "inode/fifo";
    else if (S_ISSOCK(mode))
        special = "inode/socket";
    else if (S_ISCHR(mode))
        special = "inode/chardevice";
    else if (S_ISBLK(mode))
        special = "inode/blockdevice";
    s.mime = db.mimeTypeForName(QLatin1String(special));
}

} // namespace

namespace {

using Signature = store::FileSignature;

Signature signatureOf(const State& s) {
    Signature sig;
    if (isLink(s)) {
        sig.device = (quint64(major(s.target.st_dev)) << 32) | minor(s.target.st_dev);
        sig.inode = quint64(s.target.st_ino);
        sig.size = qint64(s.target.st_size);
        sig.modified = qint64(s.target.st_mtim.tv_sec) * 1'000'000'000 + s.target.st_mtim.tv_nsec;
        sig.changed = qint64(s.target.st_ctim.tv_sec) * 1'000'000'000 + s.target.st_ctim.tv_nsec;
        return sig;
    }
    sig.device = (quint64(s.entry.stx_dev_major) << 32) | s.entry.stx_dev_minor;
    sig.inode = s.entry.stx_ino;
    sig.size = qint64(s.entry.stx_size);
    sig.modified = qint64(s.entry.stx_mtime.tv_sec) * 1'000'000'000 + s.entry.stx_mtime.tv_nsec;
    sig.changed = qint64(s.entry.stx_ctime.tv_sec) * 1'000'000'000 + s.entry.stx_ctime.tv_nsec;
    return sig;
}

QString unreadableText(const QMimeType& type) {
    return QStringLiteral("cannot read the embedded details of this ") +
           details::mimeKinds(type).description;
}

// A reader that crashed or ran out of memory in its helper.
QString readerFaultText(const QString& cause) {
    return QStringLiteral("cannot read the embedded details: ") + cause;
}

// What the store keeps of a file just read; false when the reading failed in a way that may
// not happen again (a file that could not be opened, or a reader that ran out of time), so it
// must not be remembered. A lasting fault is its one problem: remembered with its cause, so
// that no later process feeds the file to a reader again while it stays as it is.
bool storable(const KeptDetails& kept, const State& s, store::StoredDetails& out) {
    const bool faulted = s.fault != store::FaultKind::None;
    if (s.notForStore || kept.problems.size() > (faulted ? 1 : 0))
        return false;
    out.values = kept.values;
    out.contentType = kept.contentType;
    out.fault = s.fault;
    out.faultText = s.faultText;
    return true;
}

// What helpers answered is kept, in memory and in the store, once each of them ended its life
// without a fault; the engine's own record of a reader that failed, and what was read in this
// process, at once. That a file is of no reader's kind is a helper's answer like its values: a
// helper a file took over could say so of every file after it. `stored` is empty when nothing
// goes to the store.
void remember(const EmbeddedReading& r, const QByteArray& path, KeptDetails kept,
              std::optional<store::StoredDetails> stored, EmbeddedCache& cache) {
    // Where nothing would be kept, nothing waits: only the count of files read goes on.
    const bool atOnce = r.lives.empty() ||
                        (stored && stored->fault == store::FaultKind::ReaderFailed) ||
                        (!stored && !cache.keepsDetails());
    std::shared_ptr<const void> room;
    if (!atOnce) {
        qsizetype bytes = qsizetype(sizeof kept) + path.size();
        for (const auto& [column, text] : std::as_const(kept.values))
            bytes += qsizetype(sizeof column) + text.size() * qsizetype(sizeof(QChar));
        room = cache.holdWaiting(bytes);
        if (!room)
            return; // read again next time
    }
    auto keep = [&cache, store = r.store, path, kept = std::move(kept), stored = std::move(stored),
                 signature = r.signature, room = std::move(room)]() mutable {
        if (stored)
            store->keep(path, signature, *stored);
        cache.keep(path, std::move(kept), true);
    };
    if (atOnce)
        keep();
    else
        extraction::HelperLife::whenAllEndCleanly(r.lives, std::move(keep));
}

// The remembered details as the in-process cache keeps them; the problem is worded anew, in
// this process's language, as a fresh read words it.
KeptDetails keptFrom(const store::StoredDetails& stored, const Signature& signature) {
    KeptDetails kept{signature, stored.values, stored.contentType, {}};
    if (stored.fault == store::FaultKind::Rejected)
        kept.problems.append(unreadableText(mimeDatabase().mimeTypeForName(stored.faultText)));
    else if (stored.fault == store::FaultKind::ReaderFailed)
        kept.problems.append(readerFaultText(stored.faultText));
    return kept;
}

} // namespace

QString DetailColumns::title(int column) {
    static const char* const titles[details::column::Count] = {
        "Name",
        "Size",
        "Item type",
        "Date modified",
        "Date created",
        "Date accessed",
        "Attributes",
        "Group",
        "Link target",
        "Perceived type",
        "Owner",
        "Kind",
        "Date taken",
        "Contributing artists",
        "Album",
        "Year",
        "Genre",
        "Conductors",
        "Tags",
        "Rating",
        "Authors",
        "Title",
        "Subject",
        "Categories",
        "Comments",
        "Copyright",
        "#",
        "Length",
        "Bit rate",
        "Composers",
        "Camera model",
        "Dimensions",
        "Camera maker",
        "Company",
        "File description",
        "Program name",
        "Pages",
        "Lens model",
        "F-stop",
        "Exposure time",
        "ISO speed",
    };
    if (column < 0 || column >= details::column::Count)
        return {};
    return QString::fromLatin1(titles[column]);
}

namespace {

// The item states of this thread ready for its next items. A state is larger than the allocator
// keeps at hand per thread, and such a large block makes it first sort every small block freed
// since: a search of many items would pay that for each.
std::vector<std::unique_ptr<State>>& spareStates() {
    thread_local std::vector<std::unique_ptr<State>> spare;
    return spare;
}
constexpr size_t maxSpareStates = 64;

std::unique_ptr<State> freshState() {
    std::vector<std::unique_ptr<State>>& spare = spareStates();
    if (spare.empty())
        return std::make_unique<State>();
    std::unique_ptr<State> state = std::move(spare.back());
    spare.pop_back();
    return state;
}

} // namespace

DetailColumns::DetailColumns(QByteArray nativePath, DetailSources& sources)
    : nativePath_(std::move(nativePath)), sources_(&sources), state_(freshState()) {}

DetailColumns::~DetailColumns() {
    std::vector<std::unique_ptr<State>>& spare = spareStates();
    if (!state_ || spare.size() >= maxSpareStates)
        return;
    try {
        *state_ = State(); // lets go of what the item held now, as freeing it would
        spare.push_back(std::move(state_));
    } catch (...) {
        // Out of memory: the state is simply freed.
    }
}
DetailColumns::DetailColumns(DetailColumns&&) noexcept = default;
DetailColumns& DetailColumns::operator=(DetailColumns&&) noexcept = default;

bool DetailColumns::exists() {
    ensureStat(nativePath_, *state_);
    return state_->statOk;
}

bool DetailColumns::gone() {
    return !exists() && (state_->statError == ENOENT || state_->statError == ENOTDIR);
}

QStringList DetailColumns::problems() const {
    return state_->problems;
}

QString DetailColumns::value(int column) {
    if (column < 0 || column >= details::column::Count)
        return {};
    State& s = *state_;
    if (!s.computed[size_t(column)]) {
        s.values[size_t(column)] = compute(column);
        s.computed[size_t(column)] = true;
    }
    return s.values[size_t(column)];
}

QString DetailColumns::compute(int column) {
    State& s = *state_;
    if (column == details::column::Name)
        return QFile::decodeName(lastComponent(nativePath_));
    ensureStat(nativePath_, s);
    if (!s.statOk)
        return {};
    if (column >= details::column::FirstEmbedded) {
        readEmbedded();
        return s.embedded[size_t(column - details::column::FirstEmbedded)];
    }
    switch (column) {
    case details::column::Size:
        return isRegular(s) ? details::fileSizeText(contentSize(s)) : QString();
    case details::column::ItemType:
        if (isFolder(s))
            return QStringLiteral("Folder");
        ensureMime(nativePath_, value(details::column::Name), s);
        return kindsOf(s).description;
    case details::column::DateModified:
        return timeText(s.entry.stx_mtime);
    case details::column::DateCreated:
        return (s.entry.stx_mask & STATX_BTIME) ? timeText(s.entry.stx_btime) : QString();
    case details::column::DateAccessed:
        return timeText(s.entry.stx_atime);
    case details::column::Attributes:
        return details::permissionText(s.entry.stx_mode);
    case details::column::Group:
        return groupName(s.entry.stx_gid);
    case details::column::LinkTarget: {
        if (!isLink(s))
            return {};
        QByteArray target(qsizetype(std::max<quint64>(s.entry.stx_size, 64) + 1), '\0');
        for (int attempt = 0; attempt < 4; ++attempt) {
            const ssize_t n = ::readlink(nativePath_.constData(), target.data(), target.size());
            if (n < 0)
                return {};
            if (n < target.size())
                return QFile::decodeName(target.left(n));
            target.resize(target.size() * 4);
        }
        return {};
    }
    case details::column::PerceivedType:
        ensureMime(nativePath_, value(details::column::Name), s);
        return kindsOf(s).perceived;
    case details::column::Owner:
        return userName(s.entry.stx_uid);
    case details::column::Kind:
        if (isLink(s))
            return QStringLiteral("Link");
        ensureMime(nativePath_, value(details::column::Name), s);
        return kindsOf(s).kind;
    default:
        return {};
    }
}

void DetailColumns::readEmbedded() {
    if (!startEmbedded())
        return;
    const EmbeddedReading& r = *state_->reading;
    extraction::Extractor& extractor = sources_->extractor();
    extraction::Extraction found = extractor.extract(*r.asked, r.file);
    while (takeRead(found))
        found = extractor.extract(*r.asked, r.file);
}

void DetailColumns::readEmbeddedTogether(std::span<DetailColumns* const> items,
                                         const std::function<void(DetailColumns&)>& worked) {
    std::vector<DetailColumns*> reading;
    // What an item cannot finish costs that item's embedded details, not the others'.
    const auto guarded = [](DetailColumns* item, const auto& step) {
        try {
            return step();
        } catch (...) {
            item->state_->reading.reset();
            return false;
        }
    };
    const auto done = [&worked](DetailColumns* item) {
        if (worked)
            worked(*item);
    };
    for (DetailColumns* item : items) {
        if (guarded(item, [item] { return item->startEmbedded(); }))
            reading.push_back(item);
        else
            done(item);
    }
    while (!reading.empty()) {
        std::vector<extraction::FileRead> reads;
        reads.reserve(reading.size());
        for (const DetailColumns* item : reading)
            reads.push_back({item->state_->reading->asked, &item->state_->reading->file});
        // Each result is taken as soon as it is final, and its values then live in the item
        // alone.
        std::vector<bool> taken(reading.size(), false);
        std::vector<bool> more(reading.size(), false);
        const auto take = [&](size_t i, extraction::Extraction& found) {
            taken[i] = true;
            DetailColumns* item = reading[i];
            more[i] = guarded(item, [item, &found] { return item->takeRead(found); });
            found.values = {};
            if (!more[i])
                done(item);
        };
        std::vector<extraction::Extraction> found =
            reading.front()->sources_->extractor().extract(reads, take);
        for (size_t i = 0; i < reading.size(); ++i) {
            if (!taken[i])
                take(i, found[i]);
        }
        std::vector<DetailColumns*> again;
        for (size_t i = 0; i < reading.size(); ++i) {
            if (more[i])
                again.push_back(reading[i]);
        }
        reading.swap(again);
    }
}

bool DetailColumns::startEmbedded() {
    State& s = *state_;
    if (s.embeddedDone)
        return false;
    s.embeddedDone = true;
    ensureStat(nativePath_, s);
    if (!isRegular(s) || contentSize(s) == 0)
        return false;
    const Signature signature = signatureOf(s);
    KeptDetails kept;
    EmbeddedCache& cache = sources_->cache();
    bool found = cache.find(nativePath_, signature, kept);
    store::DetailStore* const store = sources_->store();
    store::StoredDetails stored;
    if (!found && store && store->find(nativePath_, signature, stored)) {
        // The store is a file on disk: its texts are cleaned as a helper's are.
        details::cleanText(stored.faultText);
        if (stored.fault == store::FaultKind::ReaderFailed)
            sources_->tell(
                {nativePath_, stored.faultText, true, extraction::ReaderFault::Origin::Remembered});
        kept = keptFrom(stored, signature);
        cache.keep(nativePath_, kept, false);
        found = true;
    }
    if (found) {
        // Read through, never changed: the list is shared with the cache's copy.
        for (const auto& [column, text] : std::as_const(kept.values)) {
            QString& value = s.embedded[size_t(column - details::column::FirstEmbedded)];
            value = text;
            // The store is a file on disk: its values are cleaned as a helper's are.
            details::cleanText(value);
        }
        if (!kept.contentType.isEmpty()) {
            s.mimeDone = true;
            typeChanged(s, mimeDatabase().mimeTypeForName(kept.contentType));
        }
        s.problems += kept.problems;
        return false;
    }
    ensureMime(nativePath_, value(details::column::Name), s);
    s.reading = std::make_unique<EmbeddedReading>(nativePath_);
    EmbeddedReading& r = *s.reading;
    r.signature = signature;
    r.store = store;
    r.problemsBefore = s.problems.size();
    r.typeByName = s.mime.name();
    r.file = {nativePath_, s.mime, contentSize(s), r.opened.fd()};
    r.chosen = details::readerFamilyFor(s.mime);
    return nextRead(nullptr);
}

bool DetailColumns::takeRead(extraction::Extraction& found) {
    State& s = *state_;
    if (found.incomplete)
        s.problems.append(QStringLiteral("cannot read all embedded details of this ") +
                          details::mimeKinds(s.reading->file.mimeType).description);
    if (found.untrusted)
        s.notForStore = true;
    std::vector<std::shared_ptr<extraction::HelperLife>>& lives = s.reading->lives;
    if (found.life && std::find(lives.begin(), lives.end(), found.life) == lives.end())
        lives.push_back(std::move(found.life));
    return nextRead(&found);
}

// Which reader reads the file next, given what the last one found (none yet: null). False when
// the reading is over.
bool DetailColumns::nextRead(const extraction::Extraction* found) {
    using Asked = EmbeddedReading::Asked;
    using Outcome = extraction::Extraction::Outcome;
    State& s = *state_;
    EmbeddedReading& r = *s.reading;
    // A file that could not be opened is of no reader's kind.
    const extraction::Extraction unopened;
    const auto ask = [&r, &found, &unopened](const details::ReaderFamily* reader, Asked stage) {
        r.asked = reader;
        r.stage = stage;
        if (r.opened.isOpen())
            return true;
        found = &unopened;
        return false;
    };
    const auto take = [&s, &found] {
        for (int c = details::column::FirstEmbedded; c < details::column::Count; ++c) {
            QString text = found->values[size_t(c - details::column::FirstEmbedded)];
            details::cleanText(text);
            s.embedded[size_t(c - details::column::FirstEmbedded)] = std::move(text);
        }
    };
    // A reader that crashed, hung or ran out of memory costs this file its embedded details; no
    // other reader gets to try it.
    const auto failed = [&s, &found] {
        s.problems.append(readerFaultText(found->failure));
        if (!found->lasting)
            s.notForStore = true;
        s.fault = store::FaultKind::ReaderFailed;
        s.faultText = found->failure;
    };
    // No helper could start: the file keeps only the details that need no reader.
    const auto notRead = [&s] {
        s.problems.append(QStringLiteral("the embedded details were not read: the reader helper "
                                         "could not start"));
        s.notRead = true;
    };
    // The reader of the file's type could not make sense of it.
    const auto rejected = [&s] {
        s.problems.append(unreadableText(s.mime));
        s.fault = store::FaultKind::Rejected;
        s.faultText = s.mime.name();
    };
    const auto finished = [this] {
        finishEmbedded();
        return false;
    };
    for (;;) {
        // Whichever reader was asked: a fault ends the reading, and so does a missing helper.
        if (r.stage != Asked::Nothing && found->outcome == Outcome::Failed) {
            failed();
            return finished();
        }
        if (r.stage != Asked::Nothing && found->outcome == Outcome::NotRead) {
            notRead();
            return finished();
        }
        switch (r.stage) {
        case Asked::Nothing:
            if (r.chosen) {
                if (ask(r.chosen, Asked::ByName))
                    return true;
                continue; // unopened: straight to its verdict
            }
            break;
        case Asked::ByName:
            if (found->outcome == Outcome::Read) {
                take();
                return finished();
            }
            break;
        case Asked::ByContent:
            if (found->outcome == Outcome::Read) {
                take();
                if (r.chosen) {
                    // The name's type was wrong, so the content's type is the item's type.
                    typeChanged(s, s.sniffed);
                }
            } else if (r.chosen) {
                rejected();
            }
            return finished();
        }
        // The name misled: a reader that knows the content may still read it. A file that the
        // name calls a type no reader handles is only sniffed when its first bytes are not text.
        if (!r.chosen && !s.sniffDone) {
            if (!r.opened.isOpen() || looksLikeText(r.opened.read(0, textProbeBytes)))
                return finished();
        }
        ensureSniffed(nativePath_, s);
        const details::ReaderFamily* byContent = s.sniffed.isValid() && s.sniffed != s.mime
                                                     ? details::readerFamilyFor(s.sniffed)
                                                     : nullptr;
        if (byContent && byContent != r.chosen) {
            r.file.mimeType = s.sniffed;
            if (ask(byContent, Asked::ByContent))
                return true;
            continue; // unopened: straight to its verdict
        }
        if (r.chosen)
            rejected();
        return finished();
    }
}

void DetailColumns::finishEmbedded() {
    State& s = *state_;
    const std::unique_ptr<EmbeddedReading> r = std::move(s.reading);
    if (s.notRead)
        return; // neither kept nor stored: a later search with a working helper reads it
    KeptDetails kept;
    kept.signature = r->signature;
    for (int c = details::column::FirstEmbedded; c < details::column::Count; ++c) {
        const QString& text = s.embedded[size_t(c - details::column::FirstEmbedded)];
        if (!text.isEmpty())
            kept.values.append({c, text});
    }
    if (s.mime.name() != r->typeByName)
        kept.contentType = s.mime.name();
    kept.problems = s.problems.mid(r->problemsBefore);
    std::optional<store::StoredDetails> stored(std::in_place);
    if (!r->store || !storable(kept, s, *stored))
        stored.reset();
    remember(*r, nativePath_, std::move(kept), std::move(stored), sources_->cache());
}

} // namespace quillmere::search
