// Sealing: what a site sent is copied by the sealer's own user into the
// site's data/, read-only, and recorded, when its sha256 is the one the
// site's manifest gives. A site's user can then neither write nor rename nor
// remove it, nor link to it: the kernel keeps it as it was sealed.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kestarchive.h"

namespace {

constexpr long long MANIFEST_MAX = 64LL << 20;
constexpr long long RECORD_MAX = 256LL << 20;
constexpr long long DAY = 24 * 3600;
constexpr long long UNLISTED_DAYS = 1;   // a file no manifest names is set aside after this
constexpr long long LEFTOVER_DAYS = 3;   // what a killed rsync left in incoming/
constexpr long long LIVE_KEEP_DAYS = 3;  // a past day's live copy
constexpr size_t CHUNK = 256 * 1024;
constexpr const char* LOCK_FILE = ".lock";

// Reads a regular file below dirfd whole, without following a link, at most
// `most` bytes. False when it is none or larger.
bool read_small(int dirfd, const char* name, long long most, std::string* text) {
    int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= most;
    char buf[65536];
    for (ssize_t n; ok && (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            ok = false;
        else
            text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

std::string short_sha(const std::string& sha) { return sha.substr(0, 16) + "..."; }

class Sealer {
   public:
    Sealer(const std::string& site, long long now) : site_(site), now_(now) {}
    ~Sealer() {
        for (int fd : {dir_, incoming_, data_, aside_, live_, record_, lock_}) {
            if (fd >= 0) close(fd);
        }
    }
    bool open_site(const std::string& site_dir);
    void seal_all(SealReport* rep);
    void prune();
    const std::map<std::string, SealedFile>& record() const { return record_by_name_; }

   private:
    // "kestarchive: SITE: WHAT NAME MORE", the name as text whatever it holds.
    void say(const char* what, const std::string& name, const std::string& more) const {
        fprintf(stderr, "kestarchive: %s: %s%s%s\n", site_.c_str(), what, shown_as_text(name, true).c_str(),
                more.c_str());
    }
    void seal_one(const std::string& name, const struct stat& st, SealReport* rep);
    bool copy_in(int from, std::string* tmp, std::string* sha, long long* size);
    bool place(const std::string& tmp, const std::string& name, const std::string& sha, long long size,
               std::string* placed, bool* duplicate);
    void set_aside_entry(const std::string& name, const std::string& why);

    std::string site_;
    long long now_;
    int dir_ = -1, incoming_ = -1, data_ = -1, aside_ = -1, live_ = -1, record_ = -1, lock_ = -1;
    std::map<std::string, std::string> manifest_;
    std::map<std::string, SealedFile> record_by_name_;
    int serial_ = 0;
};

bool Sealer::open_site(const std::string& site_dir) {
    const int dirflags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    dir_ = open(site_dir.c_str(), dirflags);
    if (dir_ < 0) {
        fprintf(stderr, "kestarchive: %s: %s\n", site_dir.c_str(), strerror(errno));
        return false;
    }
    // One sealer a site at a time; the lock is readable by no site user,
    // who therefore cannot hold it.
    lock_ = openat(dir_, LOCK_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) {
        fprintf(stderr, "kestarchive: %s/%s: %s\n", site_dir.c_str(), LOCK_FILE, strerror(errno));
        return false;
    }
    incoming_ = openat(dir_, ARCHIVE_INCOMING, dirflags);
    data_ = openat(dir_, ARCHIVE_SEALED, dirflags);
    aside_ = openat(dir_, ASIDE, dirflags);
    live_ = openat(dir_, ARCHIVE_LIVE, dirflags);
    record_ = openat(dir_, SEAL_RECORD, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (incoming_ < 0 || data_ < 0 || aside_ < 0 || live_ < 0 || record_ < 0) {
        fprintf(stderr,
                "kestarchive: %s: not a site's folder (incoming/, data/, aside/, live/, record): %s\n",
                site_dir.c_str(), strerror(errno));
        return false;
    }
    std::string text;
    int skipped = 0;
    if (read_small(dir_, SEAL_RECORD, RECORD_MAX, &text)) {
        for (SealedFile& f : parse_sealed(text, &skipped)) record_by_name_[f.name] = f;
        if (skipped > 0)
            fprintf(stderr, "kestarchive: %s/%s: %d lines that make no sense\n", site_dir.c_str(),
                    SEAL_RECORD, skipped);
    }
    text.clear();
    if (read_small(live_, MANIFEST_NAME, MANIFEST_MAX, &text)) {
        for (const ManifestEntry& e : parse_manifest(text)) manifest_[e.name] = e.sha256;
    }
    return true;
}

// Copies an open file into data/ under a temporary name, hashing it on the
// way: one read of the site's bytes, and the hash is of what was written.
bool Sealer::copy_in(int from, std::string* tmp, std::string* sha, long long* size) {
    *tmp = ".seal." + std::to_string(getpid()) + "." + std::to_string(serial_++);
    int to = openat(data_, tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0440);
    if (to < 0) return false;
    Sha256 hash;
    std::vector<char> buf(CHUNK);
    bool ok = hash.ok();
    *size = 0;
    for (ssize_t n; ok && (n = read(from, buf.data(), buf.size())) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0 && write(to, buf.data(), static_cast<size_t>(n)) == n &&
             hash.add(buf.data(), static_cast<size_t>(n));
        *size += n > 0 ? n : 0;
    }
    ok = ok && fsync(to) == 0;
    close(to);
    *sha = ok ? hash.finish() : "";
    if (sha->empty()) unlinkat(data_, tmp->c_str(), 0);
    return !sha->empty();
}

// Gives a sealed copy its name in data/: the name, or beside a first file of
// that name, never over anything. Records it. A copy of what is sealed
// already is a duplicate.
bool Sealer::place(const std::string& tmp, const std::string& name, const std::string& sha, long long size,
                   std::string* placed, bool* duplicate) {
    *duplicate = false;
    for (const std::string& candidate : {name, twin_name(name, sha)}) {
        auto held = record_by_name_.find(candidate);
        if (held != record_by_name_.end()) {
            if (held->second.sha256 != sha) continue;
            *duplicate = true;
            return true;
        }
        if (renameat2(data_, tmp.c_str(), data_, candidate.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno != EEXIST) return false;
            // In data/ but not recorded: a sealer stopped between the two,
            // or a folder adopted. Its bytes decide.
            int fd = openat(data_, candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            std::string there;
            std::vector<char> buf(CHUNK);
            Sha256 hash;
            for (ssize_t n; fd >= 0 && (n = read(fd, buf.data(), buf.size())) > 0;)
                hash.add(buf.data(), static_cast<size_t>(n));
            if (fd >= 0) close(fd);
            there = hash.finish();
            if (there != sha) continue;
            *duplicate = true;
        }
        SealedFile f{candidate, size, sha, now_};
        std::string line = sealed_line(f);
        if (write(record_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            fsync(record_) != 0)
            return false;
        fsync(data_);
        record_by_name_[candidate] = f;
        *placed = candidate;
        return true;
    }
    return false;
}

// Something in incoming/ that is no file a site sends: renamed out of the
// way (it would block the real file of that name), and named.
void Sealer::set_aside_entry(const std::string& name, const std::string& why) {
    std::string to = ".refused." + std::to_string(now_) + "." + std::to_string(serial_++);
    if (renameat(incoming_, name.c_str(), incoming_, to.c_str()) == 0)
        say("incoming/", name, ": " + why + ": moved out of the way, to incoming/" + to);
    else
        say("incoming/", name, ": " + why + ": cannot be moved out of the way: " + strerror(errno));
}

void Sealer::seal_one(const std::string& name, const struct stat& st, SealReport* rep) {
    auto listed = manifest_.find(name);
    if (listed == manifest_.end()) {
        // The manifest goes out before the files; one that never names it
        // does not get to block the name for ever.
        if (st.st_mtime < now_ - UNLISTED_DAYS * DAY) {
            rep->aside++;
            set_aside_entry(name, "named by no manifest for a day");
        } else {
            rep->waiting++;
        }
        return;
    }
    int fd = openat(incoming_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat now_st;
    if (fd < 0 || fstat(fd, &now_st) != 0 || !S_ISREG(now_st.st_mode)) {
        if (fd >= 0) close(fd);
        return;  // gone, or changed into something else, since it was listed
    }
    std::string tmp, sha, placed;
    long long size = 0;
    bool copied = copy_in(fd, &tmp, &sha, &size), duplicate = false;
    close(fd);
    if (!copied) {
        rep->waiting++;
        return say("incoming/", name, std::string(": cannot be copied: ") + strerror(errno));
    }
    if (sha != listed->second) {
        std::string kept = name + "." + sha.substr(0, 8) + "." + std::to_string(now_);
        renameat(data_, tmp.c_str(), aside_, kept.c_str());
        unlinkat(incoming_, name.c_str(), 0);
        rep->aside++;
        return say("incoming/", name,
                   ": sha256 " + short_sha(sha) + " is not the " + short_sha(listed->second) +
                       " the site's manifest gives: kept aside as " + ASIDE + "/" + kept);
    }
    if (!place(tmp, name, sha, size, &placed, &duplicate)) {
        unlinkat(data_, tmp.c_str(), 0);
        rep->aside++;
        return set_aside_entry(
            name, "sha256 " + short_sha(sha) + ": both its name and the one beside it are taken");
    }
    if (duplicate || placed.empty()) unlinkat(data_, tmp.c_str(), 0);
    unlinkat(incoming_, name.c_str(), 0);
    if (duplicate) {
        rep->duplicates++;
    } else {
        rep->sealed++;
        say("sealed ", placed, " (" + std::to_string(size) + " bytes, sha256 " + short_sha(sha) + ")");
    }
}

void Sealer::seal_all(SealReport* rep) {
    std::vector<std::pair<std::string, struct stat>> entries;
    if (DIR* d = fdopendir(dup(incoming_))) {
        rewinddir(d);
        while (struct dirent* e = readdir(d)) {
            struct stat st;
            if (e->d_name[0] == '.' || fstatat(incoming_, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            entries.push_back({e->d_name, st});
        }
        closedir(d);
    }
    for (const auto& [name, st] : entries) {
        const char* wrong = !S_ISREG(st.st_mode)       ? "not a regular file"
                            : !archive_file_name(name) ? "not a name of the logger's files"
                                                       : nullptr;
        if (!wrong) {
            seal_one(name, st, rep);
            continue;
        }
        rep->aside++;
        set_aside_entry(name, wrong);
    }
}

// What rsync leaves when it is killed (".NAME.XXXXXX" in incoming/), and
// the live copies of days long past.
void Sealer::prune() {
    for (int dirfd : {incoming_, live_}) {
        DIR* d = fdopendir(dup(dirfd));
        if (!d) continue;
        rewinddir(d);  // a dup shares its offset with the folder read before
        while (struct dirent* e = readdir(d)) {
            struct stat st;
            DailyFile kind;
            int date;
            bool gz;
            bool leftover =
                dirfd == incoming_ && e->d_name[0] == '.' && strncmp(e->d_name, ".refused.", 9) != 0;
            bool past = dirfd == live_ && parse_daily_file_name(e->d_name, &kind, &date, &gz);
            if (!leftover && !past) continue;
            long long keep = leftover ? LEFTOVER_DAYS : LIVE_KEEP_DAYS;
            if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                st.st_mtime < now_ - keep * DAY)
                unlinkat(dirfd, e->d_name, 0);
        }
        closedir(d);
    }
}

}  // namespace

SealReport seal_site(const std::string& site, const std::string& site_dir, long long now,
                     SiteStatus* status) {
    SealReport rep;
    Sealer s(site, now);
    if (!s.open_site(site_dir)) {
        rep.failed = true;
        return rep;
    }
    s.seal_all(&rep);
    s.prune();
    if (status) {
        status->sealed_files = status->sealed_bytes = 0;
        for (const auto& [name, f] : s.record()) {
            status->sealed_files++;
            status->sealed_bytes += f.size;
            status->last_sealed = std::max(status->last_sealed, f.sealed);
        }
        status->aside_files = usage_of(site_dir + "/" + ASIDE).files;
    }
    return rep;
}

bool read_site_status(const std::string& path, SiteStatus* s) {
    FILE* f = fopen(path.c_str(), "re");
    if (!f) return false;
    char key[64];
    long long v;
    while (fscanf(f, "%63s %lld", key, &v) == 2) {
        std::string k = key;
        if (k == "sealed_files") s->sealed_files = v;
        if (k == "sealed_bytes") s->sealed_bytes = v;
        if (k == "aside_files") s->aside_files = v;
        if (k == "last_sealed") s->last_sealed = v;
        if (k == "scrub_ok") s->scrub_ok = v;
        if (k == "scrub_changed") s->scrub_changed = v;
        if (k == "scrub_missing") s->scrub_missing = v;
        if (k == "scrub_last") s->scrub_last = v;
    }
    fclose(f);
    return true;
}

bool write_site_status(const std::string& path, const SiteStatus& s) {
    char text[512];
    int n =
        snprintf(text, sizeof text,
                 "sealed_files %lld\nsealed_bytes %lld\naside_files %lld\nlast_sealed %lld\nscrub_ok %lld\n"
                 "scrub_changed %lld\nscrub_missing %lld\nscrub_last %lld\n",
                 s.sealed_files, s.sealed_bytes, s.aside_files, s.last_sealed, s.scrub_ok, s.scrub_changed,
                 s.scrub_missing, s.scrub_last);
    return n > 0 && write_whole_file(path.c_str(), std::string_view(text, static_cast<size_t>(n)), 0644);
}
