#include "details/readers/output_version.h"

#include <exiv2/version.hpp>
#include <jxl/decode.h>
#include <libheif/heif.h>
#include <png.h>
#include <poppler-version.h>
#include <taglib/taglib.h>
#include <zip.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace quillmere::details::readers {

namespace {

QByteArray computeVersion() {
    QByteArray version = "readers " + QByteArray::number(outputRevision);
    version += "; qt " + QByteArray(qVersion());
    version += "; exiv2 " + QByteArray(Exiv2::versionString().c_str());
    version += "; heif " + QByteArray(heif_get_version());
    version += "; png " + QByteArray(png_get_libpng_ver(nullptr));
    version += "; poppler " + QByteArray(poppler::version_string().c_str());
    version += "; taglib " + QByteArray::number(TAGLIB_MAJOR_VERSION) + '.' +
               QByteArray::number(TAGLIB_MINOR_VERSION) + '.' +
               QByteArray::number(TAGLIB_PATCH_VERSION);
    version += "; zip " + QByteArray(zip_libzip_version());
    version += "; avformat " + QByteArray::number(avformat_version());
    version += "; jxl " + QByteArray::number(JxlDecoderVersion());
    return version;
}

} // namespace

QByteArray librariesVersion() {
    static const QByteArray version = computeVersion();
    return version;
}

} // namespace quillmere::details::readers
