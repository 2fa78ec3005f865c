#include "results/unhandled_items.h"

#include "app/escaped_text.h"

namespace quillmere::results {

namespace {
constexpr size_t kItemsNamed = 10;
}

QString unhandledItemsMessage(const std::vector<UnhandledItem>& items, int itemCount,
                              const QString& whatWasTried) {
    if (items.empty())
        return {};
    QString message = itemCount == 1 ? QStringLiteral("The item could not be %1:").arg(whatWasTried)
                                     : QStringLiteral("%1 of %2 items could not be %3:")
                                           .arg(QString::number(items.size()),
                                                QString::number(itemCount), whatWasTried);
    message += QStringLiteral("\r\n");
    for (size_t i = 0; i < items.size() && i < kItemsNamed; ++i)
        message += QStringLiteral("\r\n") + app::escapedText(items[i].path) + QStringLiteral(": ") +
                   items[i].reason;
    if (items.size() > kItemsNamed)
        message += QStringLiteral("\r\nand %1 more.").arg(items.size() - kItemsNamed);
    return message;
}

} // namespace quillmere::results
