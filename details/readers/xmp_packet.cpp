#include "details/readers/xmp_packet.h"

#include "details/readers/gif_blocks.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <optional>
#include <set>

// A reader of the small part of RDF/XML that XMP packets use, written for speed: the general XMP
// toolkit took longer over a packet than the rest of a photo's reading, under a lock shared by all
// threads. It builds the packet's element tree with decoded texts and then reads the properties
// from it. Nothing here follows a reference to another file or expands a declared entity.

namespace quillmere::details::readers {

namespace {

// Deeper packets are refused: real ones nest four to six elements.
constexpr int MaxDepth = 64;
// So are packets of more elements, whose tree would take memory out of all proportion to what a
// column can show: large real ones hold a few thousand.
constexpr size_t MaxElements = 100'000;

constexpr std::string_view RdfUri = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
constexpr std::string_view XmlUri = "http://www.w3.org/XML/1998/namespace";

struct KnownNamespace {
    std::string_view uri;
    std::string_view prefix;
};
constexpr std::array<KnownNamespace, 8> Known{{
    {"http://purl.org/dc/elements/1.1/", "dc"},
    {"http://ns.adobe.com/xap/1.0/", "xmp"},
    {"http://ns.adobe.com/exif/1.0/", "exif"},
    {"http://ns.adobe.com/tiff/1.0/", "tiff"},
    {"http://ns.adobe.com/photoshop/1.0/", "photoshop"},
    {"http://ns.adobe.com/exif/1.0/aux/", "aux"},
    {"http://cipa.jp/exif/1.0/", "exifEX"},
    {"http://ns.adobe.com/pdf/1.3/", "pdf"},
}};

// The standard aliases that lead to a property a column reads.
struct Alias {
    std::string_view from;
    std::string_view to;
};
constexpr std::array<Alias, 15> Aliases{{
    {"xmp.Author", "dc.creator"},
    {"xmp.Authors", "dc.creator"},
    {"pdf.Author", "dc.creator"},
    {"photoshop.Author", "dc.creator"},
    {"tiff.Artist", "dc.creator"},
    {"xmp.Description", "dc.description"},
    {"pdf.Subject", "dc.description"},
    {"photoshop.Caption", "dc.description"},
    {"tiff.ImageDescription", "dc.description"},
    {"xmp.Keywords", "dc.subject"},
    {"photoshop.Keywords", "dc.subject"},
    {"xmp.Title", "dc.title"},
    {"pdf.Title", "dc.title"},
    {"photoshop.Title", "dc.title"},
    {"pdf.Creator", "xmp.CreatorTool"},
}};

struct Attribute {
    std::string_view uri;
    std::string_view name;
    QByteArray value; // references decoded, bytes as the packet has them
};

struct Element {
    std::string_view uri;
    std::string_view name;
    std::vector<Attribute> attributes;
    std::vector<int> children;
    QByteArray text; // the element's own character data, decoded to UTF-8

    const Attribute* attribute(std::string_view inUri, std::string_view named) const {
        for (const Attribute& a : attributes) {
            if (a.uri == inUri && a.name == named)
                return &a;
        }
        return nullptr;
    }
    bool is(std::string_view inUri, std::string_view named) const {
        return uri == inUri && name == named;
    }
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void appendUtf8(QByteArray& out, char32_t code) {
    if (code < 0x80) {
        out.append(char(code));
    } else if (code < 0x800) {
        out.append(char(0xc0 | (code >> 6)));
        out.append(char(0x80 | (code & 0x3f)));
    } else if (code < 0x10000) {
        out.append(char(0xe0 | (code >> 12)));
        out.append(char(0x80 | ((code >> 6) & 0x3f)));
        out.append(char(0x80 | (code & 0x3f)));
    } else {
        out.append(char(0xf0 | (code >> 18)));
        out.append(char(0x80 | ((code >> 12) & 0x3f)));
        out.append(char(0x80 | ((code >> 6) & 0x3f)));
        out.append(char(0x80 | (code & 0x3f)));
    }
}

// Builds the element tree of a packet. Every fault of well-formedness it notices fails the whole
// packet, as a conforming XML reader would.
class TreeBuilder {
public:
    explicit TreeBuilder(QByteArrayView bytes) : at_(bytes.data()), end_(at_ + bytes.size()) {}

    // The root element's index, or nothing.
    std::optional<int> build() {
        if (end_ - at_ >= 3 && std::string_view(at_, 3) == "\xef\xbb\xbf")
            at_ += 3;
        while (at_ < end_) {
            const char* open = std::find(at_, end_, '<');
            if (open == end_)
                return std::nullopt;
            at_ = open;
            if (startsWith("<?")) {
                if (!skipPast("?>"))
                    return std::nullopt;
            } else if (startsWith("<!--")) {
                if (!skipPast("-->"))
                    return std::nullopt;
            } else if (startsWith("<!") || startsWith("</")) {
                return std::nullopt; // a document type, or an end before any start
            } else {
                const int root = element(0);
                if (root < 0)
                    return std::nullopt;
                return root; // whatever follows the root, such as the packet's padding, is not read
            }
        }
        return std::nullopt;
    }

    const Element& operator[](int index) const { return elements_[size_t(index)]; }

private:
    bool startsWith(std::string_view prefix) const {
        return end_ - at_ >= qsizetype(prefix.size()) &&
               std::string_view(at_, prefix.size()) == prefix;
    }

    bool skipPast(std::string_view closing) {
        const std::string_view rest(at_, size_t(end_ - at_));
        const size_t found = rest.find(closing);
        if (found == std::string_view::npos)
            return false;
        at_ += found + closing.size();
        return true;
    }

    void skipSpace() {
        while (at_ < end_ && isSpace(*at_))
            ++at_;
    }

    std::string_view name() {
        const char* start = at_;
        while (at_ < end_ && !isSpace(*at_) && *at_ != '/' && *at_ != '>' && *at_ != '=' &&
               *at_ != '<' && *at_ != '"' && *at_ != '\'')
            ++at_;
        return {start, size_t(at_ - start)};
    }

    // A character or entity reference after its '&', appended to `out`.
    bool reference(QByteArray& out) {
        const char* limit = at_ + std::min<qsizetype>(12, end_ - at_);
        const char* semicolon = std::find(at_, limit, ';');
        if (semicolon == limit)
            return false;
        const std::string_view ref(at_, size_t(semicolon - at_));
        at_ = semicolon + 1;
        if (ref == "lt")
            out.append('<');
        else if (ref == "gt")
            out.append('>');
        else if (ref == "amp")
            out.append('&');
        else if (ref == "quot")
            out.append('"');
        else if (ref == "apos")
            out.append('\'');
        else if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty())
                return false;
            char32_t code = 0;
            for (const char c : digits) {
                int digit = -1;
                if (c >= '0' && c <= '9')
                    digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    digit = c - 'A' + 10;
                if (digit < 0)
                    return false;
                code = code * (hex ? 16 : 10) + char32_t(digit);
                if (code > 0x10ffff)
                    return false;
            }
            if (code == 0 || (code >= 0xd800 && code <= 0xdfff))
                return false;
            appendUtf8(out, code);
        } else {
            return false; // a declared entity: packets have none, and none is expanded
        }
        return true;
    }

    // Text up to the next '<' (or, in an attribute, up to `quote`), with references decoded and
    // line ends as XML reads them.
    bool characters(QByteArray& out, char quote) {
        while (at_ < end_) {
            const char* run = at_;
            while (run < end_ && *run != '<' && *run != '&' && *run != '\r' &&
                   !(quote && (*run == quote || *run == '\n' || *run == '\t')))
                ++run;
            out.append(at_, run - at_);
            at_ = run;
            if (at_ >= end_)
                break;
            const char c = *at_;
            if (c == '<')
                return quote == 0;
            ++at_;
            if (quote && c == quote)
                return true;
            if (c == '&') {
                if (!reference(out))
                    return false;
            } else if (c == '\r') {
                if (at_ < end_ && *at_ == '\n')
                    ++at_;
                out.append(quote ? ' ' : '\n');
            } else {
                out.append(' '); // a line feed or tab inside an attribute
            }
        }
        return quote == 0;
    }

    // The namespace a qualified name's prefix is bound to; empty for a name without one when
    // `useDefault` is false (attributes), nothing when the prefix is unbound.
    std::optional<std::string_view> resolve(std::string_view qualified, std::string_view& local,
                                            bool useDefault) const {
        const size_t colon = qualified.find(':');
        const std::string_view prefix =
            colon == std::string_view::npos ? std::string_view() : qualified.substr(0, colon);
        local = colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
        if (prefix == "xml")
            return XmlUri;
        if (prefix.empty() && !useDefault)
            return std::string_view();
        // The innermost declaration counts.
        const auto bound = std::find_if(bindings_.rbegin(), bindings_.rend(),
                                        [prefix](const auto& b) { return b.first == prefix; });
        if (bound != bindings_.rend())
            return bound->second;
        if (prefix.empty())
            return std::string_view();
        return std::nullopt;
    }

    // The element at `at_`, with everything inside it; its index, or -1.
    int element(int depth) {
        if (depth > MaxDepth || elements_.size() >= MaxElements)
            return -1;
        ++at_; // '<'
        const std::string_view qualified = name();
        if (qualified.empty())
            return -1;
        struct RawAttribute {
            std::string_view name;
            QByteArray value;
        };
        std::vector<RawAttribute> raw;
        const size_t outerBindings = bindings_.size();
        bool empty = false;
        for (;;) {
            skipSpace();
            if (at_ >= end_)
                return -1;
            if (*at_ == '>') {
                ++at_;
                break;
            }
            if (startsWith("/>")) {
                at_ += 2;
                empty = true;
                break;
            }
            const std::string_view attributeName = name();
            skipSpace();
            if (attributeName.empty() || at_ >= end_ || *at_ != '=')
                return -1;
            ++at_;
            skipSpace();
            if (at_ >= end_ || (*at_ != '"' && *at_ != '\''))
                return -1;
            const char quote = *at_++;
            QByteArray value;
            if (!characters(value, quote))
                return -1;
            if (attributeName == "xmlns" || attributeName.substr(0, 6) == "xmlns:") {
                uris_.push_back(std::move(value));
                const std::string_view prefix =
                    attributeName.size() > 6 ? attributeName.substr(6) : std::string_view();
                bindings_.emplace_back(prefix, std::string_view(uris_.back().constData(),
                                                                size_t(uris_.back().size())));
            } else {
                raw.push_back({attributeName, std::move(value)});
            }
        }

        const int index = int(elements_.size());
        elements_.emplace_back();
        {
            Element& e = elements_.back();
            const std::optional<std::string_view> uri = resolve(qualified, e.name, true);
            if (!uri)
                return -1;
            e.uri = *uri;
            for (RawAttribute& a : raw) {
                Attribute attribute;
                const std::optional<std::string_view> attributeUri =
                    resolve(a.name, attribute.name, false);
                if (!attributeUri)
                    return -1;
                attribute.uri = *attributeUri;
                attribute.value = std::move(a.value);
                e.attributes.push_back(std::move(attribute));
            }
        }
        if (!empty && !content(index, qualified, depth))
            return -1;
        bindings_.resize(outerBindings);
        return index;
    }

    // What lies between an element's start and its end tag.
    bool content(int index, std::string_view qualified, int depth) {
        for (;;) {
            if (!characters(elements_[size_t(index)].text, 0))
                return false;
            if (at_ >= end_)
                return false;
            if (startsWith("</")) {
                at_ += 2;
                if (name() != qualified)
                    return false;
                skipSpace();
                if (at_ >= end_ || *at_ != '>')
                    return false;
                ++at_;
                return true;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->"))
                    return false;
            } else if (startsWith("<![CDATA[")) {
                at_ += 9;
                const char* start = at_;
                if (!skipPast("]]>"))
                    return false;
                elements_[size_t(index)].text.append(start, at_ - 3 - start);
            } else if (startsWith("<?")) {
                if (!skipPast("?>"))
                    return false;
            } else if (startsWith("<!")) {
                return false;
            } else {
                const int child = element(depth + 1);
                if (child < 0)
                    return false;
                elements_[size_t(index)].children.push_back(child);
            }
        }
    }

    const char* at_;
    const char* end_;
    std::vector<Element> elements_;
    std::vector<std::pair<std::string_view, std::string_view>> bindings_;
    std::deque<QByteArray> uris_; // the declared namespaces, where the bindings point
};

// "EN-us" reads as "en-US": a language in lower case, a two-letter region in upper case.
QString normalLanguage(const QString& language) {
    QStringList parts = language.toLower().split(u'-');
    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (parts[i].size() == 2)
            parts[i] = parts[i].toUpper();
    }
    return parts.join(u'-');
}

bool hasOnlyRdfOrXmlAttributes(const Element& e) {
    return std::all_of(e.attributes.begin(), e.attributes.end(),
                       [](const Attribute& a) { return a.uri == RdfUri || a.uri == XmlUri; });
}

// The properties of the packet's descriptions, in the order they stand.
class PropertyReader {
public:
    explicit PropertyReader(const TreeBuilder& tree) : tree_(tree) {}

    void readDescriptionsUnder(int index, int depth) {
        const Element& e = tree_[index];
        if (e.is(RdfUri, "RDF")) {
            for (const int child : e.children) {
                if (tree_[child].is(RdfUri, "Description"))
                    readDescription(tree_[child]);
            }
            return;
        }
        for (const int child : e.children) {
            if (depth < MaxDepth)
                readDescriptionsUnder(child, depth + 1);
        }
    }

    // Each alias whose property is missing becomes that property, in that property's group.
    void resolveAliases() {
        for (const Alias& alias : Aliases) {
            if (!keys_.count(std::string(alias.from)))
                continue;
            const auto from = std::find_if(found_.begin(), found_.end(), [&](const Found& f) {
                return f.property.key == alias.from;
            });
            keys_.erase(std::string(alias.from));
            if (keys_.count(std::string(alias.to))) {
                found_.erase(from);
                continue;
            }
            keys_.insert(std::string(alias.to));
            from->property.key = std::string(alias.to);
            from->group = groupOf(alias.to.substr(0, alias.to.find('.')));
        }
    }

    XmpProperties take() {
        // Grouped by namespace in order of first use.
        std::stable_sort(found_.begin(), found_.end(),
                         [](const Found& a, const Found& b) { return a.group < b.group; });
        XmpProperties properties;
        properties.reserve(found_.size());
        for (Found& f : found_)
            properties.push_back(std::move(f.property));
        return properties;
    }

private:
    struct Found {
        int group;
        XmpProperty property;
    };

    void readDescription(const Element& description) {
        for (const Attribute& a : description.attributes) {
            if (a.uri != RdfUri && a.uri != XmlUri)
                add(a.uri, a.name, {commentText(a.value)});
        }
        for (const int child : description.children) {
            const Element& e = tree_[child];
            if (const std::optional<QStringList> texts = propertyTexts(e))
                add(e.uri, e.name, *texts);
        }
    }

    std::optional<QStringList> propertyTexts(const Element& e) const {
        if (const Attribute* resource = e.attribute(RdfUri, "resource"))
            return QStringList{commentText(resource->value)};
        if (e.attribute(RdfUri, "parseType") || !hasOnlyRdfOrXmlAttributes(e))
            return std::nullopt; // a structure
        if (e.children.empty())
            return QStringList{commentText(e.text)};
        const Element& container = tree_[e.children.front()];
        const bool alternative = container.is(RdfUri, "Alt");
        if (!alternative && !container.is(RdfUri, "Seq") && !container.is(RdfUri, "Bag"))
            return std::nullopt;
        QStringList items;
        std::map<QString, QString> byLanguage;
        bool everyItemHasLanguage = true;
        for (const int child : container.children) {
            const Element& item = tree_[child];
            if (!item.is(RdfUri, "li"))
                continue;
            QString text;
            if (const Attribute* resource = item.attribute(RdfUri, "resource"))
                text = commentText(resource->value);
            else if (item.children.empty() && !item.attribute(RdfUri, "parseType") &&
                     hasOnlyRdfOrXmlAttributes(item))
                text = commentText(item.text);
            else
                continue; // a structure, or a value with qualifiers
            const Attribute* language = item.attribute(XmlUri, "lang");
            if (language)
                byLanguage[normalLanguage(commentText(language->value))] = text;
            else
                everyItemHasLanguage = false;
            items.append(text);
        }
        if (!alternative || !everyItemHasLanguage || byLanguage.empty())
            return items;
        QStringList texts;
        const QString fallback = QStringLiteral("x-default");
        if (const auto it = byLanguage.find(fallback); it != byLanguage.end())
            texts.append(it->second);
        for (const auto& [language, text] : byLanguage) {
            if (language != fallback)
                texts.append(text);
        }
        return texts;
    }

    void add(std::string_view uri, std::string_view name, QStringList texts) {
        const auto known = std::find_if(Known.begin(), Known.end(),
                                        [uri](const KnownNamespace& k) { return k.uri == uri; });
        if (known == Known.end())
            return;
        std::string key;
        key.reserve(known->prefix.size() + 1 + name.size());
        key.append(known->prefix).append(1, '.').append(name);
        // A property named twice keeps its first value.
        if (!keys_.insert(key).second)
            return;
        found_.push_back({groupOf(known->prefix), {std::move(key), std::move(texts)}});
    }

    int groupOf(std::string_view prefix) {
        const auto it = std::find(groups_.begin(), groups_.end(), prefix);
        if (it != groups_.end())
            return int(it - groups_.begin());
        groups_.push_back(prefix);
        return int(groups_.size()) - 1;
    }

    const TreeBuilder& tree_;
    std::vector<Found> found_;
    std::vector<std::string_view> groups_;
    std::set<std::string> keys_;
};

// Packets in UTF-16 or UTF-32, which XMP allows outside JPEG, as UTF-8; empty for UTF-8.
QByteArray utf8Copy(QByteArrayView packet) {
    const std::optional<QStringConverter::Encoding> encoding =
        QStringConverter::encodingForData(packet, u'<');
    if (!encoding || *encoding == QStringConverter::Utf8)
        return {};
    QStringDecoder decode(*encoding);
    return QString(decode(packet)).toUtf8();
}

} // namespace

XmpProperties readXmpPacket(QByteArrayView packet) {
    if (packet.isEmpty())
        return {};
    const QByteArray converted = utf8Copy(packet);
    TreeBuilder tree(converted.isEmpty() ? packet : QByteArrayView(converted));
    const std::optional<int> root = tree.build();
    if (!root)
        return {};
    PropertyReader reader(tree);
    reader.readDescriptionsUnder(*root, 0);
    reader.resolveAliases();
    return reader.take();
}

const QStringList* findXmp(const XmpProperties& properties, std::string_view key) {
    for (const XmpProperty& p : properties) {
        if (p.key == key)
            return &p.texts;
    }
    return nullptr;
}

} // namespace quillmere::details::readers
