// The configuration store on POSIX: one .reg text file per store, shared by every process
// that uses it.
//
// Writers serialise on an flock of NAME.lock and replace the file whole (temporary file
// beside it, fsync, rename, fsync of the directory), so a crash leaves the old or the new
// file. Every operation first checks whether the file changed since it was loaded and
// reloads it if so; a writer does that while holding the lock, so it always edits the
// latest version and no other process's value is lost.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/EventLog.h"
#include "platform/RegFile.h"
#include "platform/Registry.h"
#include "posix/FileWrite.h"

namespace platform {

namespace {

// Registry calls answer with Windows numbers.
int registryError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return regerr::kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return regerr::kAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return 112;  // ERROR_DISK_FULL
        case ENAMETOOLONG:
            return 206;  // ERROR_FILENAME_EXCED_RANGE
        default:
            return 1117;  // ERROR_IO_DEVICE
    }
}

Status failedWith(int err) {
    return Status::failure(registryError(err));
}

// Which version of the file is loaded. The loaded file is kept open, so its inode cannot be
// handed to a later version while we compare against it; size and times catch edits made
// in place.
struct FileIdentity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    timespec mtime{};
    timespec ctime{};

    static FileIdentity of(const struct stat& st) {
        FileIdentity id;
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mode = st.st_mode;
        id.uid = st.st_uid;
        id.gid = st.st_gid;
        id.mtime = st.st_mtim;
        id.ctime = st.st_ctim;
        return id;
    }
    bool sameAs(const FileIdentity& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::string parentDirectory(const std::string& path) {
    const auto parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

Status syncDirectory(const std::string& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        return failedWith(errno);
    }
    if (::fsync(fd.get()) != 0 && errno != EINVAL) {
        return failedWith(errno);
    }
    return Status::success();
}

Status readAll(int fd, std::string& data) {
    data.clear();
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failedWith(errno);
        }
        if (n == 0) {
            return Status::success();
        }
        data.append(buf, static_cast<size_t>(n));
    }
}

void reportError(const std::string& text) {
    std::fprintf(stderr, "Error: %s\n", text.c_str());
    std::fflush(stderr);
    EventLog log("Kronel");
    (void)log.report(EventType::Error, 0, text.c_str());
}

std::string badFileName(const std::string& path, int attempt) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::string name = path + ".bad-" + stamp;
    if (attempt > 0) {
        name += "-" + std::to_string(attempt);
    }
    return name;
}

// Renames without replacing an existing file, so an earlier bad copy is never lost.
bool renameNoReplace(const std::string& from, const std::string& to, int& err) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    err = errno;
    if (err != EINVAL && err != ENOSYS) {
        return false;
    }
    // The file system cannot refuse to replace; the lock keeps our own writers out.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        err = EEXIST;
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    err = errno;
    return false;
}

class Store {
public:
    explicit Store(std::string path)
        : path_(std::move(path)), lockPath_(path_ + ".lock"), dir_(parentDirectory(path_)) {}

    // fn(const RegFile&) -> Status, on the latest contents.
    template <typename Fn>
    Status read(Fn&& fn) {
        std::lock_guard guard(mutex_);
        Status s = refresh(false);
        if (!s.ok()) {
            return s;
        }
        return fn(static_cast<const RegFile&>(file_));
    }

    // fn(RegFile&, bool& changed) -> Status, on the latest contents under the writers'
    // lock; when it reports a change the store is written before this returns. fn must
    // leave the contents untouched when it fails.
    template <typename Fn>
    Status write(Fn&& fn) {
        std::lock_guard guard(mutex_);
        UniqueFd lock;
        Status s = takeLock(lock);
        if (!s.ok()) {
            return s;
        }
        s = refresh(true);
        if (!s.ok()) {
            return s;
        }
        if (malformed_) {
            return Status::failure(regerr::kInvalidData);
        }
        bool changed = false;
        s = fn(file_, changed);
        if (!s.ok() || !changed) {
            return s;
        }
        s = persist();
        if (!s.ok()) {
            // What is in memory is no longer what is on disk: load it again next time.
            loaded_ = false;
        }
        return s;
    }

private:
    Status takeLock(UniqueFd& lock) {
        std::error_code ec;
        std::filesystem::create_directories(dir_, ec);
        // A fresh descriptor for every write: flock belongs to the open file description,
        // which a forked child would otherwise share with its parent.
        lock =
            UniqueFd(::open(lockPath_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!lock.valid()) {
            return failedWith(errno);
        }
        while (::flock(lock.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return failedWith(errno);
            }
        }
        return Status::success();
    }

    void forget() {
        file_ = RegFile();
        held_.reset();
        identity_ = FileIdentity();
        malformed_ = false;
        loaded_ = true;
    }

    Status refresh(bool locked) {
        // A few rounds cover a file replaced between our stat and our open.
        for (int round = 0; round < 16; ++round) {
            struct stat st;
            if (::stat(path_.c_str(), &st) != 0) {
                if (errno != ENOENT) {
                    return failedWith(errno);
                }
                if (!loaded_ || identity_.exists) {
                    forget();
                }
                return Status::success();
            }
            if (loaded_ && identity_.sameAs(FileIdentity::of(st))) {
                if (malformed_ && locked) {
                    return moveAside(lastError_);
                }
                return Status::success();
            }
            UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
            if (!fd.valid()) {
                if (errno == ENOENT) {
                    continue;
                }
                return failedWith(errno);
            }
            if (::fstat(fd.get(), &st) != 0) {
                return failedWith(errno);
            }
            if (!S_ISREG(st.st_mode)) {
                return Status::failure(regerr::kAccessDenied);
            }
            std::string text;
            Status s = readAll(fd.get(), text);
            if (!s.ok()) {
                return s;
            }
            RegFile parsed;
            RegParseError error;
            if (RegFile::parse(text, parsed, error)) {
                file_ = std::move(parsed);
                held_ = std::move(fd);
                identity_ = FileIdentity::of(st);
                malformed_ = false;
                loaded_ = true;
                return Status::success();
            }
            int lockError = 0;
            if (!locked) {
                // Moving it aside must not race a writer replacing it: look again under
                // the lock, which also finds it gone if another process moved it first.
                UniqueFd lock;
                if (takeLock(lock).ok()) {
                    return refresh(true);
                }
                lockError = errno;
            }
            // Until it can be moved, run on defaults and never write over it.
            file_ = RegFile();
            held_ = std::move(fd);
            identity_ = FileIdentity::of(st);
            malformed_ = true;
            loaded_ = true;
            lastError_ = error;
            return locked ? moveAside(error) : cannotMove(error, lockError);
        }
        return Status::failure(regerr::kAccessDenied);
    }

    std::string describe(const RegParseError& error) const {
        std::string text = "Configuration store " + path_ + " is malformed";
        if (error.line > 0) {
            text += " (line " + std::to_string(error.line) + ": " + error.reason + ")";
        } else {
            text += " (" + error.reason + ")";
        }
        return text;
    }

    Status cannotMove(const RegParseError& error, int err) {
        if (err == 0) {
            err = EACCES;
        }
        if (!reported_.sameAs(identity_)) {
            reported_ = identity_;
            reportError(describe(error) + " and could not be moved aside (" + std::strerror(err) +
                        "); using defaults and leaving it untouched");
        }
        return Status::success();
    }

    // Called under the lock with the malformed file as the loaded one.
    Status moveAside(const RegParseError& error) {
        int err = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string target = badFileName(path_, attempt);
            if (renameNoReplace(path_, target, err)) {
                (void)syncDirectory(dir_);
                reportError(describe(error) + "; moved it to " + target +
                            " and starting from defaults");
                forget();
                return Status::success();
            }
            if (err != EEXIST) {
                break;
            }
        }
        return cannotMove(error, err);
    }

    Status persist() {
        ReplaceOptions options;
        // Settings may hold a proxy password: a new store is private, an existing one keeps
        // the permissions it was given.
        options.mode = 0600;
        options.prepare = [this](int fd) {
            const mode_t mode = identity_.exists ? (identity_.mode & 07777) : 0600;
            if (::fchmod(fd, mode) != 0) {
                return errno;
            }
            // An administrator editing a service's store keeps it the service's: a file handed
            // to root would lock the service out of its own settings.
            if (identity_.exists && ::geteuid() == 0 &&
                (identity_.uid != 0 || identity_.gid != 0) &&
                ::fchown(fd, identity_.uid, identity_.gid) != 0) {
                return errno;
            }
            return 0;
        };
        UniqueFd fd;
        if (const int error = replaceFile(path_, file_.text(), options, &fd)) {
            return failedWith(error);
        }
        // Taken after the rename, which changes the inode's ctime.
        struct stat st;
        if (::fstat(fd.get(), &st) == 0) {
            identity_ = FileIdentity::of(st);
            held_ = std::move(fd);
        } else {
            loaded_ = false;
        }
        return syncDirectory(dir_);
    }

    std::mutex mutex_;
    const std::string path_;
    const std::string lockPath_;
    const std::string dir_;
    RegFile file_;
    UniqueFd held_;
    FileIdentity identity_;
    FileIdentity reported_;
    RegParseError lastError_;
    bool loaded_ = false;
    bool malformed_ = false;  // the file on disk is malformed and still in place
};

std::mutex g_storesMutex;
std::string g_overridePath;

std::map<std::string, std::shared_ptr<Store>>& stores() {
    static std::map<std::string, std::shared_ptr<Store>> map;
    return map;
}

// One Store per file, whichever spelling of the path reached it. Symbolic links are
// followed, so the rename replaces the file they point to rather than the link.
std::shared_ptr<Store> storeFor(const std::string& file) {
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(file, ec);
    if (ec) {
        resolved = std::filesystem::absolute(file, ec).lexically_normal();
    }
    std::lock_guard guard(g_storesMutex);
    auto& slot = stores()[resolved.string()];
    if (!slot) {
        slot = std::make_shared<Store>(resolved.string());
    }
    return slot;
}

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string homeDirectory() {
    std::string home = environmentValue("HOME");
    if (!home.empty()) {
        return home;
    }
    const struct passwd* pw = ::getpwuid(::getuid());
    return (pw != nullptr && pw->pw_dir != nullptr) ? std::string(pw->pw_dir) : std::string(".");
}

class PosixRegistryKey : public RegistryKey {
public:
    PosixRegistryKey(std::shared_ptr<Store> store, RegRoot root, std::vector<std::string> parts,
                     bool readOnly)
        : store_(std::move(store)), root_(root), parts_(std::move(parts)), readOnly_(readOnly) {}

    Status queryDword(const std::string& name, uint32_t& value) override {
        return withValue(name, [&](const RegValue& v) {
            if (v.type != RegType::Dword) {
                return Status::failure(regerr::kUnsupportedType);
            }
            value = v.dword;
            return Status::success();
        });
    }

    Status queryString(const std::string& name, std::string& value, size_t bufferSize) override {
        return withValue(name, [&](const RegValue& v) {
            if (v.type != RegType::String) {
                return Status::failure(regerr::kUnsupportedType);
            }
            if (v.text.size() + 1 > bufferSize) {
                return Status::failure(regerr::kMoreData);
            }
            value = v.text;
            return Status::success();
        });
    }

    Status setDword(const std::string& name, uint32_t value) override {
        RegValue v;
        v.name = name;
        v.type = RegType::Dword;
        v.dword = value;
        return set(std::move(v));
    }

    Status setString(const std::string& name, const std::string& value) override {
        // A REG_SZ ends at its first NUL; storing one would silently cut the text.
        if (!RegFile::storableText(value)) {
            return Status::failure(regerr::kInvalidParameter);
        }
        RegValue v;
        v.name = name;
        v.type = RegType::String;
        v.text = value;
        return set(std::move(v));
    }

    Status deleteValue(const std::string& name) override {
        if (readOnly_) {
            return Status::failure(regerr::kAccessDenied);
        }
        return store_->write([&](RegFile& file, bool& changed) {
            RegKeyNode* node = file.find(root_, parts_);
            if (node == nullptr) {
                return Status::failure(regerr::kKeyDeleted);
            }
            if (!node->removeValue(name)) {
                return Status::failure(regerr::kFileNotFound);
            }
            changed = true;
            return Status::success();
        });
    }

    uint32_t subkeyCount() override {
        uint32_t count = 0;
        (void)store_->read([&](const RegFile& file) {
            if (const RegKeyNode* node = file.find(root_, parts_)) {
                count = static_cast<uint32_t>(node->childCount());
            }
            return Status::success();
        });
        return count;
    }

    Status subkeyName(uint32_t index, std::string& name) override {
        return store_->read([&](const RegFile& file) {
            const RegKeyNode* node = file.find(root_, parts_);
            if (node == nullptr) {
                return Status::failure(regerr::kKeyDeleted);
            }
            if (index >= node->childCount()) {
                return Status::failure(regerr::kNoMoreItems);
            }
            name = node->childAt(index).name();
            return Status::success();
        });
    }

    Status valueAt(uint32_t index, RegValue& value) override {
        return store_->read([&](const RegFile& file) {
            const RegKeyNode* node = file.find(root_, parts_);
            if (node == nullptr) {
                return Status::failure(regerr::kKeyDeleted);
            }
            if (index >= node->values().size()) {
                return Status::failure(regerr::kNoMoreItems);
            }
            value = node->values()[index];
            return Status::success();
        });
    }

private:
    template <typename Fn>
    Status withValue(const std::string& name, Fn&& fn) {
        return store_->read([&](const RegFile& file) {
            const RegKeyNode* node = file.find(root_, parts_);
            if (node == nullptr) {
                return Status::failure(regerr::kKeyDeleted);
            }
            const RegValue* v = node->value(name);
            if (v == nullptr) {
                return Status::failure(regerr::kFileNotFound);
            }
            return fn(*v);
        });
    }

    Status set(RegValue value) {
        if (readOnly_) {
            return Status::failure(regerr::kAccessDenied);
        }
        if (!RegFile::storableName(value.name)) {
            return Status::failure(regerr::kInvalidParameter);
        }
        return store_->write([&](RegFile& file, bool& changed) {
            RegKeyNode* node = file.find(root_, parts_);
            if (node == nullptr) {
                return Status::failure(regerr::kKeyDeleted);
            }
            // Rewriting the same data would only cost a disk flush.
            const RegValue* old = node->value(value.name);
            if (old != nullptr && old->type == value.type && old->dword == value.dword &&
                old->text == value.text) {
                return Status::success();
            }
            node->setValue(std::move(value));
            changed = true;
            return Status::success();
        });
    }

    std::shared_ptr<Store> store_;
    RegRoot root_;
    std::vector<std::string> parts_;
    bool readOnly_;
};

}  // namespace

Status openRegistryKey(RegRoot root, const std::string& path, bool create, bool readOnly,
                       std::unique_ptr<RegistryKey>& key) {
    key.reset();
    std::vector<std::string> parts;
    if (!RegFile::splitPath(path, parts)) {
        return Status::failure(regerr::kInvalidParameter);
    }
    auto store = storeFor(registryFile(root));
    bool exists = false;
    Status s = store->read([&](const RegFile& file) {
        exists = file.find(root, parts) != nullptr;
        return Status::success();
    });
    if (!s.ok()) {
        return s;
    }
    if (!exists) {
        if (!create) {
            return Status::failure(regerr::kFileNotFound);
        }
        s = store->write([&](RegFile& file, bool& changed) {
            changed = file.find(root, parts) == nullptr;
            file.ensure(root, parts);
            return Status::success();
        });
        if (!s.ok()) {
            return s;
        }
    }
    key = std::make_unique<PosixRegistryKey>(std::move(store), root, std::move(parts), readOnly);
    return Status::success();
}

Status deleteRegistryKey(RegRoot root, const std::string& path) {
    std::vector<std::string> parts;
    if (!RegFile::splitPath(path, parts)) {
        return Status::failure(regerr::kInvalidParameter);
    }
    if (parts.empty()) {
        return Status::failure(regerr::kAccessDenied);  // a root cannot be deleted
    }
    return storeFor(registryFile(root))->write([&](RegFile& file, bool& changed) {
        if (!file.remove(root, parts)) {
            return Status::failure(regerr::kFileNotFound);
        }
        changed = true;
        return Status::success();
    });
}

Status changeRegistry(RegRoot root, const std::vector<RegKeyChange>& changes) {
    std::vector<std::vector<std::string>> paths(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
        if (!RegFile::splitPath(changes[i].path, paths[i]) || paths[i].empty()) {
            return Status::failure(regerr::kInvalidParameter);
        }
        for (const RegValue& v : changes[i].values) {
            if (!RegFile::storableName(v.name) ||
                (v.type == RegType::String && !RegFile::storableText(v.text))) {
                return Status::failure(regerr::kInvalidParameter);
            }
        }
    }
    return storeFor(registryFile(root))->write([&](RegFile& file, bool& changed) {
        for (size_t i = 0; i < changes.size(); ++i) {
            if (changes[i].remove) {
                changed = file.remove(root, paths[i]) || changed;
                continue;
            }
            RegKeyNode& node = file.ensure(root, paths[i]);
            for (const RegValue& v : changes[i].values) {
                node.setValue(v);
            }
            changed = true;
        }
        return Status::success();
    });
}

std::string registryFile(RegRoot root) {
    {
        std::lock_guard guard(g_storesMutex);
        if (!g_overridePath.empty()) {
            return g_overridePath;
        }
    }
    const std::string single = environmentValue("KRONEL_REGISTRY");
    if (!single.empty()) {
        return single;
    }
    if (root == RegRoot::LocalMachine) {
        return "/var/lib/kronel/registry.reg";
    }
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    const std::string config = environmentValue("XDG_CONFIG_HOME");
    if (!config.empty() && config.front() == '/') {
        return config + "/kronel/registry.reg";
    }
    return homeDirectory() + "/.config/kronel/registry.reg";
}

void setRegistryFile(const std::string& path) {
    std::lock_guard guard(g_storesMutex);
    g_overridePath = path;
}

}  // namespace platform
