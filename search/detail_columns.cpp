#include "search/detail_columns.h"

// First cut: the name only. The full provider replaces this.
namespace quillmere {

struct DetailColumns::State {};

QString DetailColumns::title(int column) {
    return column == 0 ? QStringLiteral("Name") : QString();
}

DetailColumns::DetailColumns(QByteArray nativePath)
    : nativePath_(std::move(nativePath)), state_(std::make_unique<State>()) {}
DetailColumns::~DetailColumns() = default;
DetailColumns::DetailColumns(DetailColumns&&) noexcept = default;
DetailColumns& DetailColumns::operator=(DetailColumns&&) noexcept = default;

QString DetailColumns::value(int column) {
    if (column != 0)
        return {};
    const int slash = nativePath_.lastIndexOf('/');
    return QString::fromLocal8Bit(nativePath_.mid(slash + 1));
}

QStringList DetailColumns::problems() const { return {}; }
bool DetailColumns::exists() { return true; }

} // namespace quillmere
