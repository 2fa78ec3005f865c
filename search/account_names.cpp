#include "search/account_names.h"

#include <QHash>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace quillmere::search {

namespace {

class NameCache {
public:
    template <typename Lookup> QString name(uint id, Lookup lookup) {
        {
            std::shared_lock lock(mutex_);
            const auto it = names_.constFind(id);
            if (it != names_.constEnd())
                return *it;
        }
        QString found = lookup(id);
        if (found.isEmpty())
            found = QString::number(id);
        std::unique_lock lock(mutex_);
        names_.insert(id, found);
        return found;
    }

private:
    std::shared_mutex mutex_;
    QHash<uint, QString> names_;
};

QString lookUpUser(uint id) {
    std::vector<char> buffer(1024);
    for (int attempt = 0; attempt < 8; ++attempt) {
        passwd entry{};
        passwd* result = nullptr;
        const int error = getpwuid_r(uid_t(id), &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error != 0 || !result || !result->pw_name)
            return {};
        return QString::fromLocal8Bit(result->pw_name);
    }
    return {};
}

QString lookUpGroup(uint id) {
    std::vector<char> buffer(1024);
    for (int attempt = 0; attempt < 8; ++attempt) {
        group entry{};
        group* result = nullptr;
        const int error = getgrgid_r(gid_t(id), &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error != 0 || !result || !result->gr_name)
            return {};
        return QString::fromLocal8Bit(result->gr_name);
    }
    return {};
}

} // namespace

QString userName(uid_t id) {
    static NameCache cache;
    return cache.name(uint(id), lookUpUser);
}

QString groupName(gid_t id) {
    static NameCache cache;
    return cache.name(uint(id), lookUpGroup);
}

} // namespace quillmere::search
