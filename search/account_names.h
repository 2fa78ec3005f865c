#pragma once

#include <QString>

#include <sys/types.h>

namespace quillmere::search {

// The names of users and groups, looked up once per id for the whole process (a look-up may ask
// a directory service). Thread-safe. An id without a name gives the number as text.
QString userName(uid_t id);
QString groupName(gid_t id);

} // namespace quillmere::search
