// kestarchive add-site: a site's user, folder, bounds and key, in one
// command; a folder of the layout before sealing is adopted, its files sealed.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/core.h"
#include "kestarchive.h"

namespace {

constexpr const char* VAULT_USER = "kestvault";
constexpr const char* SITES_GROUP = "kestsites";  // sshd's Match for the sites' users

struct Key {
    std::string type, blob;
};

bool parse_key(const std::string& line, Key* k) {
    std::istringstream in(line);
    in >> k->type >> k->blob;
    static const std::set<std::string> types = {
        "ssh-ed25519", "ecdsa-sha2-nistp256",       "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521",
        "ssh-rsa",     "sk-ssh-ed25519@openssh.com"};
    if (!types.count(k->type) || k->blob.size() < 16) return false;
    for (char c : k->blob) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
    }
    return true;
}

// The key of each site that has one, from the sshd's key files.
std::string key_file(const std::string& site) { return std::string(KEYS_DIR) + "/" + site; }

bool key_of(const std::string& site, Key* k) {
    std::ifstream in(key_file(site));
    std::string line;
    if (!std::getline(in, line)) return false;
    size_t at = line.find(" ssh-");
    if (at == std::string::npos) at = line.find(" ecdsa-");
    if (at == std::string::npos) at = line.find(" sk-");
    return at != std::string::npos && parse_key(line.substr(at + 1), k);
}

bool write_whole(const std::string& path, const std::string& text, mode_t mode, uid_t uid, gid_t gid) {
    if (write_whole_file(path.c_str(), text, mode) && lchown(path.c_str(), uid, gid) == 0) return true;
    fprintf(stderr, "kestarchive: %s: %s\n", path.c_str(), strerror(errno));
    return false;
}

// A folder of the site's, made or put right: its owner, group and mode.
bool folder(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        fprintf(stderr, "kestarchive: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || lchown(path.c_str(), uid, gid) != 0 ||
        chmod(path.c_str(), mode) != 0) {
        fprintf(stderr, "kestarchive: %s: not a folder that can be made the site's: %s\n", path.c_str(),
                strerror(errno));
        return false;
    }
    return true;
}

int run(std::vector<std::string> argv) {
    std::vector<const char*> c;
    argv[0] = find_program(argv[0].c_str());
    for (const std::string& a : argv) c.push_back(a.c_str());
    c.push_back(nullptr);
    std::string out;
    int status = run_capture(c.data(), &out, 60000, true);
    if (status != 0) fprintf(stderr, "kestarchive: %s: %s", argv[0].c_str(), out.c_str());
    return status;
}

// Files in data/ that the record does not know (a folder of the layout
// before sealing): sealed where they are, by owner and mode, and recorded.
int adopt(const std::string& dir, uid_t vault, gid_t gid) {
    std::string text;
    std::set<std::string> known;
    if (std::ifstream in{dir + "/" + SEAL_RECORD}) {
        std::stringstream ss;
        ss << in.rdbuf();
        for (const SealedFile& f : parse_sealed(ss.str())) known.insert(f.name);
    }
    int adopted = 0;
    DIR* d = opendir((dir + "/" + ARCHIVE_SEALED).c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        std::string path = dir + "/" + ARCHIVE_SEALED + "/" + e->d_name;
        struct stat st;
        if (!archive_file_name(e->d_name) || known.count(e->d_name) || lstat(path.c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        Sha256 hash;
        char buf[65536];
        for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
            hash.add(buf, static_cast<size_t>(n));
        std::string sha = hash.finish();
        if (fd < 0 || sha.empty() || fchown(fd, vault, gid) != 0 || fchmod(fd, 0440) != 0) {
            fprintf(stderr, "kestarchive: %s: cannot be sealed: %s\n", path.c_str(), strerror(errno));
        } else {
            text += sealed_line({e->d_name, st.st_size, sha, static_cast<long long>(time(nullptr))});
            adopted++;
        }
        if (fd >= 0) close(fd);
    }
    if (d) closedir(d);
    int fd =
        open((dir + "/" + SEAL_RECORD).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0 && fchown(fd, vault, gid) == 0 && fchmod(fd, 0640) == 0;
    if (fd >= 0) close(fd);
    if (!ok) fprintf(stderr, "kestarchive: %s/%s: %s\n", dir.c_str(), SEAL_RECORD, strerror(errno));
    return ok ? adopted : -1;
}

}  // namespace

int add_site(const std::string& site, const std::string& key_path, long long max_gb, long long max_files,
             bool replace_key) {
    if (!site_name(site)) {
        fprintf(stderr,
                "kestarchive: %s: not a site name (a user name: a-z first, then a-z 0-9 - _, at most 32)\n",
                site.c_str());
        return 2;
    }
    std::ifstream in(key_path);
    std::string line;
    Key key;
    if (!in || !std::getline(in, line) || !parse_key(line, &key)) {
        fprintf(stderr, "kestarchive: %s: %s\n", key_path.c_str(),
                in ? "not an ssh public key" : strerror(errno));
        return 1;
    }
    for (const std::string& other : list_sites(ARCHIVE_ROOT)) {
        Key k;
        if (other != site && key_of(other, &k) && k.blob == key.blob) {
            fprintf(stderr, "kestarchive: this key is site %s's already: each site needs a key of its own\n",
                    other.c_str());
            return 1;
        }
    }
    Key held;
    if (key_of(site, &held) && held.blob != key.blob && !replace_key) {
        fprintf(
            stderr,
            "kestarchive: site %s has another key; --replace-key gives it this one (a site reinstalled)\n",
            site.c_str());
        return 1;
    }
    const std::string dir = std::string(ARCHIVE_ROOT) + "/" + site;
    struct passwd* pw = getpwnam(site.c_str());
    if (pw && dir != pw->pw_dir) {
        fprintf(stderr, "kestarchive: a user %s exists, and it is no archive site's (its home is %s)\n",
                site.c_str(), pw->pw_dir);
        return 1;
    }
    if (!pw && run({"useradd", "--system", "--home-dir", dir, "--no-create-home", "--shell", "/bin/sh",
                    "--user-group", "--groups", SITES_GROUP, "--comment", "KESTLOG archive site " + site,
                    site}) != 0)
        return 1;
    // getpwnam's answer lasts until its next call.
    pw = getpwnam(site.c_str());
    if (!pw) {
        fprintf(stderr, "kestarchive: no user %s after useradd\n", site.c_str());
        return 1;
    }
    const uid_t s = pw->pw_uid;
    const gid_t g = pw->pw_gid;
    struct passwd* vault = getpwnam(VAULT_USER);
    if (!vault) {
        fprintf(stderr, "kestarchive: no user %s: is the package kestlog-archive-host installed?\n",
                VAULT_USER);
        return 1;
    }
    const uid_t v = vault->pw_uid;
    const gid_t vg = vault->pw_gid;
    bool ok = folder(dir, v, g, 0750) && folder(dir + "/" + ARCHIVE_SEALED, v, g, 02750) &&
              folder(dir + "/" + ARCHIVE_INCOMING, v, g, 0770) &&
              folder(dir + "/" + ARCHIVE_LIVE, v, g, 0770) && folder(dir + "/" + ASIDE, v, vg, 0700);
    int adopted = ok ? adopt(dir, v, g) : -1;
    if (adopted < 0) return 1;
    // The live copies of a folder of the old layout become the site user's.
    run({"chown", "-R", "--no-dereference", std::to_string(s) + ":" + std::to_string(g),
         dir + "/" + ARCHIVE_LIVE, dir + "/" + ARCHIVE_INCOMING});
    folder(dir + "/" + ARCHIVE_INCOMING, v, g, 0770);
    folder(dir + "/" + ARCHIVE_LIVE, v, g, 0770);
    const Bounds b{max_gb << 30, max_files};
    char conf[256];
    snprintf(conf, sizeof conf,
             "# The bounds of site %s's folder, checked by the gate before and during each push.\n"
             "max_bytes=%lld\nmax_files=%lld\n",
             site.c_str(), b.max_bytes, b.max_files);
    std::string gate = KESTARCHIVE_GATE;
    std::string keys =
        "command=\"" + gate + " " + dir + "\",restrict " + key.type + " " + key.blob + " " + site + "\n";
    if (!write_whole(dir + "/" + SITE_CONF, conf, 0640, 0, g) ||
        !write_whole(key_file(site), keys, 0644, 0, 0))
        return 1;
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    printf("site %s: folder %s, at most %lld GB and %lld files%s\n", site.c_str(), dir.c_str(), max_gb,
           max_files,
           adopted > 0 ? (", " + std::to_string(adopted) + " files already there sealed").c_str() : "");
    printf("At the site, in /etc/kestlog/INSTANCE.archive:\n    destination=%s@%s:\n", site.c_str(), host);
    printf("and the archive host's key in /etc/kestlog/known_hosts (ssh-keyscan %s).\n", host);
    return 0;
}
