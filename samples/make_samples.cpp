// Writes the Samples folder that ships beside the program: photos from Kodak cameras among other
// files, so that a first search for "Kodak" has something to find in several details.

#include "fixtures/sample_files.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <exception>

using quillmere::fixtures::Kind;
using quillmere::fixtures::Tags;

namespace {

struct Sample {
    const char* name; // relative to the Samples folder, without extension
    Kind kind;
    Tags tags;
};

Tags photo(const char* maker, const char* model, const char* description, int year) {
    Tags t;
    t.cameraMaker = QString::fromUtf8(maker);
    t.cameraModel = QString::fromUtf8(model);
    t.description = QString::fromUtf8(description);
    t.taken = QDateTime(QDate(year, 6, 14), QTime(10, 30), Qt::UTC);
    t.iso = 100;
    t.fNumber = 2.8;
    t.exposureDenominator = 125;
    t.width = 320;
    t.height = 240;
    return t;
}

QList<Sample> samples() {
    QList<Sample> list;
    list.append(
        {"Harbour at dawn", Kind::Jpeg,
         photo("Eastman Kodak Company", "KODAK EasyShare Z981", "Boats in the harbour", 2011)});
    list.append({"Garden party", Kind::Jpeg,
                 photo("Eastman Kodak Company", "KODAK DX6490 ZOOM DIGITAL CAMERA",
                       "Lanterns in the garden", 2005)});
    list.append({"Snow on the ridge", Kind::Tiff,
                 photo("Kodak", "DCS Pro 14n", "First snow seen from the ridge", 2004)});
    list.append({"Street market", Kind::Jpeg,
                 photo("Vantrel Optics", "VX-20", "Fruit stalls on a Saturday", 2021)});
    list.append(
        {"Lighthouse", Kind::Png, photo("Nordlys", "N5", "The lighthouse at low tide", 2019)});
    list.append({"More Photos/Family picnic", Kind::Jpeg,
                 photo("Eastman Kodak Company", "KODAK C340 ZOOM DIGITAL CAMERA",
                       "Picnic by the lake", 2007)});
    list.append({"More Photos/Old bridge", Kind::Jpeg,
                 photo("Eastman Kodak Company", "KODAK Z712 IS ZOOM DIGITAL CAMERA",
                       "The old stone bridge", 2008)});
    list.append({"More Photos/City lights", Kind::Jpeg,
                 photo("Vantrel Optics", "VX-30", "The city at night", 2022)});

    Tags song;
    song.title = QStringLiteral("Morning Tide");
    song.artist = QStringLiteral("The Harbour Quartet");
    song.album = QStringLiteral("Coastline");
    song.genre = QStringLiteral("Folk");
    song.year = 2018;
    song.track = 3;
    song.seconds = 2;
    list.append({"Morning Tide", Kind::Mp3, song});

    Tags report;
    report.title = QStringLiteral("Scanning slides from a Kodak Carousel");
    report.author = QStringLiteral("Ada Lindqvist");
    report.subject = QStringLiteral("Digitising family slides");
    report.keywords = {QStringLiteral("slides"), QStringLiteral("scanning")};
    report.pages = 2;
    list.append({"Slide scanning notes", Kind::Pdf, report});

    Tags letter;
    letter.title = QStringLiteral("Holiday photo list");
    letter.author = QStringLiteral("Jonas Berg");
    letter.company = QStringLiteral("Berg & Daughters");
    letter.comment = QStringLiteral("Which prints to order");
    list.append({"Holiday photo list", Kind::Docx, letter});
    return list;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: quillmere-make-samples FOLDER\n", stderr);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    try {
        for (const Sample& s : samples()) {
            const QString path = folder.filePath(QString::fromUtf8(s.name) + QLatin1Char('.') +
                                                 quillmere::fixtures::extension(s.kind));
            if (!QDir().mkpath(QFileInfo(path).path()))
                throw std::runtime_error("cannot make the folder of " + path.toStdString());
            quillmere::fixtures::write(s.kind, path, s.tags);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmere-make-samples: %s\n", e.what());
        return 1;
    }
    return 0;
}
