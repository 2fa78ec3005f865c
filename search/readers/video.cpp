#include "search/readers/reader.h"

// Placeholder until this family's reader lands: handles nothing.
namespace quillmere::readers {
namespace {
class Unimplemented final : public Reader {
public:
    bool handles(const QMimeType&) const override { return false; }
    bool read(const FileToRead&, EmbeddedDetails&) const override { return false; }
};
} // namespace

const Reader& videoReader() {
    static const Unimplemented reader;
    return reader;
}
} // namespace quillmere::readers
