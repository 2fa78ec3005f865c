#include "bench/tree_generator.h"

#include "fixtures/corrupt.h"
#include "fixtures/sample_files.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <stdexcept>

namespace quillmere::bench {

namespace {

using fixtures::Kind;

struct Share {
    Kind kind;
    int percent;
};

// Shares of the tree by kind, adding up to 96 %; the other 4 % are corrupted copies of these.
constexpr Share shares[] = {
    {Kind::Jpeg, 26}, {Kind::Png, 5}, {Kind::Mp3, 14}, {Kind::Flac, 3}, {Kind::Ogg, 3},
    {Kind::M4a, 3},   {Kind::Mp4, 4}, {Kind::Mkv, 2},  {Kind::Pdf, 8},  {Kind::Docx, 5},
    {Kind::Xlsx, 3},  {Kind::Odt, 3}, {Kind::Jxl, 1},  {Kind::Gif, 1},  {Kind::Pcx, 1},
    {Kind::Xcf, 1},   {Kind::Aac, 1}, {Kind::Asf, 1},  {Kind::Avif, 1}, {Kind::Text, 10},
};
constexpr int corruptPercent = 4;
constexpr int variantsPerKind = 6;

const char* const makers[] = {"Canon",    "NIKON CORPORATION", "SONY",
                              "FUJIFILM", "Panasonic",         "Eastman Kodak Company"};
const char* const artists[] = {"Ada Lovelace", "The Quiet Rooms", "Miriam Okafor",
                               "Jonas Brandt", "Lena Halvorsen",  "Kodak Harbour Band"};

fixtures::Tags tagsFor(int variant) {
    fixtures::Tags tags;
    tags.title = QStringLiteral("Title %1").arg(variant);
    tags.artist = QString::fromLatin1(artists[variant % std::size(artists)]);
    tags.album = QStringLiteral("Album %1").arg(variant % 3);
    tags.genre = QStringLiteral("Ambient");
    tags.comment = QStringLiteral("Comment number %1").arg(variant);
    tags.copyright = QStringLiteral("(c) 2024 Vantrel test data");
    tags.composer = QStringLiteral("Composer %1").arg(variant);
    tags.author = QString::fromLatin1(artists[(variant + 1) % std::size(artists)]);
    tags.subject = QStringLiteral("Quarterly report");
    tags.keywords = {QStringLiteral("holiday"), QStringLiteral("family")};
    tags.company = QStringLiteral("Vantrel");
    tags.program = QStringLiteral("Quillmere sample writer");
    tags.description = QStringLiteral("A generated file for the benchmark");
    tags.cameraMaker = QString::fromLatin1(makers[variant % std::size(makers)]);
    tags.cameraModel = QStringLiteral("Model %1").arg(variant * 100);
    tags.lens = QStringLiteral("24-70mm f/2.8");
    tags.taken = QDateTime(QDate(2023, 1 + variant % 12, 1 + variant), QTime(10, variant, 0));
    tags.year = 2000 + variant;
    tags.track = variant + 1;
    tags.pages = 1 + variant % 4;
    tags.rating = 1 + variant % 5;
    tags.iso = 100 << (variant % 4);
    tags.fNumber = 2.8;
    tags.exposureDenominator = 125;
    tags.seconds = 2 + variant;
    return tags;
}

bool holdsKodak(Kind kind, int variant) {
    const bool photo = kind == Kind::Jpeg || kind == Kind::Png || kind == Kind::Jxl;
    const bool audio = kind == Kind::Mp3 || kind == Kind::Flac || kind == Kind::Ogg ||
                       kind == Kind::M4a || kind == Kind::Mp4 || kind == Kind::Mkv ||
                       kind == Kind::Asf;
    return (photo && variant % std::size(makers) == 5) ||
           (audio && variant % std::size(artists) == 5);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(("cannot read " + path).toStdString());
    return file.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error(
            ("cannot write " + path + ": " + file.errorString()).toStdString());
}

// The bytes of each kind's variants, written once and copied into the tree.
QHash<Kind, QList<QByteArray>> makeTemplates() {
    QTemporaryDir scratch;
    QHash<Kind, QList<QByteArray>> templates;
    for (const Share& share : shares) {
        for (int variant = 0; variant < variantsPerKind; ++variant) {
            const QString path = scratch.filePath(
                QStringLiteral("t%1.%2").arg(variant).arg(fixtures::extension(share.kind)));
            fixtures::write(share.kind, path, tagsFor(variant));
            templates[share.kind].append(readAll(path));
        }
    }
    return templates;
}

Kind pickKind(int percentile) {
    int cumulative = 0;
    for (const Share& share : shares) {
        cumulative += share.percent;
        if (percentile < cumulative)
            return share.kind;
    }
    return Kind::Text;
}

// Folder of the n-th file: 20 top folders, each with 10 sub-folders, every third of those with a
// deeper folder, so the walk meets both wide and nested folders.
QString folderFor(int n, int fileCount) {
    const int perLeaf = qMax(1, fileCount / 260);
    const int leaf = n / perLeaf;
    const int top = leaf % 20;
    const int sub = (leaf / 20) % 10;
    QString folder = QStringLiteral("Folder %1/Sub %2").arg(top).arg(sub);
    if (sub % 3 == 0 && (leaf / 200) % 2 == 1)
        folder += QStringLiteral("/Deeper");
    return folder;
}

} // namespace

TreeSummary generateTree(const QString& root, int fileCount, quint32 seed) {
    QRandomGenerator random(seed);
    const QHash<Kind, QList<QByteArray>> templates = makeTemplates();
    QDir rootDir(root);
    if (!rootDir.mkpath(QStringLiteral(".")))
        throw std::runtime_error(("cannot create " + root).toStdString());

    TreeSummary summary;
    QSet<QString> folders;
    for (int n = 0; n < fileCount; ++n) {
        const QString folder = folderFor(n, fileCount);
        if (!folders.contains(folder)) {
            rootDir.mkpath(folder);
            folders.insert(folder);
        }
        const bool corrupt = int(random.bounded(100)) < corruptPercent;
        const Kind kind = pickKind(int(random.bounded(100 - corruptPercent)));
        const int variant = int(random.bounded(variantsPerKind));
        QByteArray bytes = templates[kind][variant];
        QString extension = fixtures::extension(kind);
        QString family = extension;
        if (corrupt) {
            const QList<fixtures::Variant> variants =
                fixtures::corruptedVariants(bytes, extension, seed + quint32(n));
            const fixtures::Variant& broken = variants[int(random.bounded(variants.size()))];
            bytes = broken.bytes;
            extension = broken.extension;
            family = QStringLiteral("corrupt");
        } else if (holdsKodak(kind, variant)) {
            ++summary.kodakFiles;
        }
        const QString path =
            rootDir.filePath(QStringLiteral("%1/file %2%3.%4")
                                 .arg(folder)
                                 .arg(n, 5, 10, QLatin1Char('0'))
                                 .arg(corrupt ? QStringLiteral(" (broken)") : QString())
                                 .arg(extension));
        writeAll(path, bytes);
        ++summary.files;
        summary.bytes += bytes.size();
        ++summary.perFamily[family];
    }
    summary.folders = int(folders.size());
    return summary;
}

} // namespace quillmere::bench
