#include "extract/warm_up.h"

#include "details/readers/reader.h"
#include "details/value_formats.h"

#include <libheif/heif.h>

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <iconv.h>

namespace quillmere::extract {

namespace {

// glibc loads a conversion module, and its list of modules, the first time a conversion between
// two character sets is opened. The descriptors stay open so the modules stay loaded.
void loadConversions() {
    static const char* const pairs[][2] = {
        {"UTF-8", "UCS-2LE"}, {"UTF-8", "UCS-2BE"},    {"UTF-8", "ISO-8859-1"},
        {"UTF-8", "ASCII"},   {"UCS-2LE", "UTF-8"},    {"UCS-2BE", "UTF-8"},
        {"UTF-8", "UTF-16"},  {"ISO-8859-1", "UTF-8"},
    };
    for (const auto& pair : pairs)
        (void)::iconv_open(pair[0], pair[1]);
}

// Dates are written in the user's locale and local time, as in the program itself. Without TZ,
// the C library reloads /etc/localtime whenever Qt asks it to re-read the zone, which the sandbox
// would refuse (and the zone would silently become UTC); naming the same file keeps the zone read
// here for good.
void loadLocaleAndZone() {
    std::setlocale(LC_ALL, "");
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 1);
    ::tzset();
    const QDateTime now = QDateTime::currentDateTime();
    (void)details::shortDateTime(now);
    (void)details::shortDateTime(now.date(), now.time());
    (void)details::shortDateTime(QDateTime::currentDateTimeUtc().toLocalTime());
    (void)QLocale::system().toString(now, QLocale::ShortFormat);
}

} // namespace

void warmUp() {
    loadLocaleAndZone();
    loadConversions();
    heif_init(nullptr);
    for (int number = 0;; ++number) {
        const details::readers::Reader* reader = details::readers::readerByNumber(number);
        if (!reader)
            break;
        reader->prepare();
    }
    // Compiled once here rather than inside the sandbox.
    (void)QRegularExpression(QStringLiteral("[;,]")).match(QStringLiteral("a;b"));
}

} // namespace quillmere::extract
