#include "cli/reader_notice.h"

#include "cli/output.h"

namespace quillmere::cli {

using search::extraction::ReadHereBecause;
using search::extraction::ReadingNotice;

QByteArray readerNoticeLines(const ReadingNotice& before, const ReadingNotice& after) {
    QByteArray lines;
    if (after.notRead > before.notRead)
        lines += "quillmere-cli find: embedded details were not read: " +
                 escaped(after.cause).toLocal8Bit() + '\n';
    if (after.readHere > before.readHere)
        lines += after.because == ReadHereBecause::NoSeccomp
                     ? "quillmere-cli find: the readers ran inside this program, without their "
                       "sandbox: this kernel has no seccomp\n"
                     : "quillmere-cli find: the readers ran inside this program, without their "
                       "sandbox (--in-process)\n";
    return lines;
}

} // namespace quillmere::cli
