#include "app/failure_report.h"

namespace quillmere::app {

QString composeFailureMessage(const QString& description, const QString& locationText, int label,
                              const std::optional<QString>& fileText) {
    QString message = description + QStringLiteral("\r\n") + locationText +
                      QStringLiteral("at line ") + QString::number(label) +
                      QStringLiteral("\r\rPlease email screenshot of this message to ") +
                      kSupportAddress;
    if (fileText)
        message += QStringLiteral("\r\rFile: ") + *fileText;
    return message;
}

QString describeException(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Failure& f) {
        return f.description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown failure");
    }
}

} // namespace quillmere::app
