#pragma once

#include <QtGlobal>

namespace quillmere::search::store {

// A fingerprint of everything that decides how this process writes a date and time: the
// locale's short format, its digits and day-period names, the time zone and its offsets. Two
// processes that would write every date alike get the same number. Worked out once.
quint64 displayFormatKey();

} // namespace quillmere::search::store
