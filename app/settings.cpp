#include "app/settings.h"

#include "app/failure_report.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <sys/stat.h>

namespace quillmere::app {

namespace {

// The settings file that QSettings writes: the user's own for the program.
QString ownStoreFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Vantrel/Quillmere.conf");
}

// The settings files that QSettings reads, every one at every use: the program's own and the
// organisation's, in the user's folder and then in each system-wide one ($XDG_CONFIG_DIRS, else
// /etc/xdg).
QStringList storeFiles() {
    const QStringList folders =
        QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    QStringList files;
    for (const QString& folder : folders)
        files << folder + QStringLiteral("/Vantrel/Quillmere.conf");
    for (const QString& folder : folders)
        files << folder + QStringLiteral("/Vantrel.conf");
    return files;
}

// Far more than the program writes (three values, a phrase of at most 32,767 characters), far
// less than QSettings takes long to read: some 20 ms a megabyte, at every use.
constexpr qint64 kLargestStoreFile = 1 << 20;

// QSettings reads its files whatever they are: a FIFO there would block start-up, and every
// keystroke in the phrase box, for good, a link to a device would be read without end, and a
// file of gigabytes for a minute a key. What is wrong with such a file, naming it; absent files
// and regular files, through links too, are fine.
QString storeProblem() {
    for (const QString& file : storeFiles()) {
        struct stat info {};
        if (::stat(QFile::encodeName(file).constData(), &info) != 0)
            continue;
        if (!S_ISREG(info.st_mode))
            return QStringLiteral("%1 is not a file").arg(file);
        if (info.st_size > kLargestStoreFile)
            return QStringLiteral("%1 is too large").arg(file);
    }
    return {};
}

// To write, QSettings takes a lock beside its file, waiting as long as it takes. A lock that is
// there already is read to learn whether its holder is gone, and so is the lock that guards its
// removal, and that one's, and so on: a FIFO among them blocks for good, and a folder or a
// dangling link is never found to be stale, so the wait never ends. Each must be a regular file;
// the first that is not is named.
QString lockProblem() {
    for (QString lock = ownStoreFile() + QStringLiteral(".lock");;
         lock += QStringLiteral(".rmlock")) {
        const QByteArray path = QFile::encodeName(lock);
        struct stat info {};
        if (::lstat(path.constData(), &info) != 0)
            return {};
        if (::stat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode))
            return QStringLiteral("%1 is not a file").arg(lock);
    }
}

} // namespace

QString GetSetting(const QString& key, const QString& defaultValue) {
    if (!storeProblem().isEmpty())
        return defaultValue;
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("Vantrel"), QStringLiteral("Quillmere"));
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return defaultValue;
    // A hand-edited file can hold an unquoted "a, b", which the ini reader turns into a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void SaveSetting(const QString& key, const QString& value) {
    QString problem = storeProblem();
    if (problem.isEmpty())
        problem = lockProblem();
    if (!problem.isEmpty())
        throw Failure(QStringLiteral("The settings could not be written: ") + problem);
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vantrel"),
                       QStringLiteral("Quillmere"));
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw Failure(QStringLiteral("The settings could not be written to ") +
                      settings.fileName());
}

} // namespace quillmere::app
