#pragma once

#include <QByteArrayView>
#include <QStringList>

#include <string>
#include <string_view>
#include <vector>

namespace quillmere::details::readers {

// One property of an XMP packet, named by its namespace's usual prefix ("dc.title"), with every
// text it holds: the items of an array in order, or a language alternative's x-default entry
// first and then the others by language, or the one value.
struct XmpProperty {
    std::string key;
    QStringList texts;
};
using XmpProperties = std::vector<XmpProperty>;

// The simple properties and arrays of text of the namespaces the detail columns read (Dublin
// Core, XMP basic, EXIF, TIFF, Photoshop, the lens namespaces and PDF), grouped by namespace in
// order of first use, each group in the packet's order. A standard alias (pdf:Author, tiff:Artist,
// ...) stands for its property where that one is missing. Structures and qualified items are
// left out. Texts that are not UTF-8 are read as Latin-1. A packet that is not well-formed XML,
// or that declares a document type, gives nothing.
XmpProperties readXmpPacket(QByteArrayView packet);

// The texts of `key`, or null when the packet lacks it.
const QStringList* findXmp(const XmpProperties& properties, std::string_view key);

} // namespace quillmere::details::readers
