#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <optional>

// The one way a guarded handler tells the user that a step failed.
namespace quillmere::app {

// A failure raised by our own code; its description is what the report shows.
class Failure : public std::exception {
public:
    explicit Failure(QString description)
        : description_(std::move(description)), utf8_(description_.toUtf8()) {}
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString description_;
    QByteArray utf8_;
};

// Location texts of the guarded handlers; each ends in one blank.
namespace location {
inline const QString FormLoad = QStringLiteral("in Quillmere2021/08/31.Form1.Form_Load ");
inline const QString PushButton1Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton1_Click ");
inline const QString PushButton2Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton2_Click ");
inline const QString PushButton3Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton3_Click ");
inline const QString PushButton5Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton5_Click ");
inline const QString PushButton6Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton6_Click ");
inline const QString PushButton8Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton8_Click ");
inline const QString PushButton9Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton9_Click ");
inline const QString PushButton10Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton10_Click ");
inline const QString PushButton11Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton11_Click ");
inline const QString PushButton12Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton12_Click ");
inline const QString PushButton14Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton14_Click ");
inline const QString PushButton17Click =
    QStringLiteral("in Quillmere2021/08/31.Form1.PushButton17_Click ");
inline const QString SaveListviewProperlySpaced =
    QStringLiteral("in Quillmere2021/08/31.Main.SaveListviewProperlySpaced ");
} // namespace location

inline const QString kSupportAddress = QStringLiteral("support@vantrel.example");
inline const QString kFailureTitle = QStringLiteral("Application Error");

// description + "\r\n" + location + "at line " + label + "\r\r" + support request, and for the
// move command "\r\r" + "File: " + the row being processed.
QString composeFailureMessage(const QString& description, const QString& locationText, int label,
                              const std::optional<QString>& fileText = std::nullopt);

// The description of the exception in flight, for any kind of exception.
QString describeException(const std::exception_ptr& failure);

} // namespace quillmere::app
