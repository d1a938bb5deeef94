// The archive host's rules: what the gate lets a site's key run, and what
// the sealer makes of whatever lies in a site's incoming/.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "kestarchive.h"

namespace {

// The commands kestlog-archive sends, as rsync 3.2 and later hand them to ssh.
const std::string LIVE = "rsync --server -tze.LsfxCIvu --compress-level=9 --timeout=60 ";
const std::string INCOMING =
    "rsync --server -tRze.LsfxCIvu --compress-level=9 --timeout=60 --stats --partial-dir .partial ";
const std::string VERIFY =
    "rsync --server -ncRze.LsfxCIvu --compress-level=9 --log-format=%i%I --timeout=60 ";

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

// Exactly the commands kestlog-archive sends, with their option words and
// targets; anything else is refused, with a reason that names it.
TEST(ArchiveGate, AllowsExactlyTheCommandsOfTheSite) {
    struct Case {
        std::string command;
        const char* refused;  // a fragment of the reason, or nullptr: allowed
    } cases[] = {
        {LIVE + "--append --append . live/", nullptr},
        {LIVE + ". live/", nullptr},
        {INCOMING + "--copy-dest ../live . incoming/", nullptr},
        {VERIFY + "--compare-dest ../data . verify/", nullptr},
        // reading back, whole or through the receiver's block checksums
        {"rsync --server --sender -logDtpre.iLsfxC . data/KES20261201.txt", "reading"},
        {INCOMING + "--copy-dest ../data . incoming/", "--copy-dest=../data"},
        {INCOMING + "--copy-dest ../live -B16 . incoming/", "option -B16"},
        {INCOMING + "--block-size=1 . incoming/", "--block-size"},
        {LIVE + "--append . live/", "--append"},
        // writing where the record is, or through links, or with modes
        {LIVE + ". data/", "target data/"},
        {LIVE + ". live/../data/", "target live/../data/"},
        {LIVE + ". ../other/live/", "target ../other/live/"},
        {"rsync --server -tpze.LsfxCIvu . live/", "option -p"},
        {"rsync --server -tlze.LsfxCIvu . live/", "option -l"},
        {"rsync --server -tHRze.LsfxCIvu --partial-dir .partial . incoming/", "option -H"},
        {"rsync --server -tDze.LsfxCIvu . live/", "option -D"},
        {INCOMING + "--link-dest ../data . incoming/", "--link-dest=../data"},
        {INCOMING + "--partial-dir=../data . incoming/", "--partial-dir=../data"},
        {LIVE + "--inplace . live/", "--inplace"},
        {LIVE + "--log-file=data/KES20261201.txt . live/", "--log-file"},
        {LIVE + "--delete . live/", "--delete"},
        {"rsync --server -tRze.LsfxCIvu --compress-level=9 . incoming/", "--partial-dir is missing"},
        // comparing is a dry run, and reads only data/
        {"rsync --server -cRze.LsfxCIvu --log-format=%i%I --compare-dest ../data . verify/", "option -n"},
        {VERIFY + "--compare-dest ../../other/data . verify/", "--compare-dest=../../other/data"},
        // names that look like options, folders named by the command, shells
        {LIVE + ". --delete", "target --delete"},
        {LIVE + ". incoming/new/deep/", "target incoming/new/deep/"},
        {LIVE + ". live/ incoming/", "one target"},
        {"cat /etc/passwd", "only rsync"},
        {"rsync --server -tze.LsfxCIvu . live/; cat /etc/passwd", "character"},
        {"rsync  --server -tze.L . live/", "two spaces"},
        {"rsync --server -tze.L\t. live/", "control character"},
        {"rsync --daemon --server . live/", "only rsync"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        GateDecision d = gate_decide(c.command);
        if (!c.refused) {
            EXPECT_TRUE(d.allowed) << d.reason;
            ASSERT_GE(d.argv.size(), 5u);
            EXPECT_EQ(d.argv[0], "rsync");
            EXPECT_EQ(d.argv[d.argv.size() - 2], ".");
            continue;
        }
        EXPECT_FALSE(d.allowed);
        EXPECT_NE(d.reason.find(c.refused), std::string::npos) << d.reason;
    }
    // The archive ends a stalled transfer itself, whatever the site asked.
    GateDecision d = gate_decide("rsync --server -tze.LsfxCIvu --timeout=0 . live/");
    ASSERT_TRUE(d.allowed);
    EXPECT_EQ(d.argv[3], "--timeout=" + std::to_string(GATE_TIMEOUT_MAX_S));
}

// Whatever lies in incoming/, only a file whose sha256 the manifest gives is
// sealed, read-only and recorded; a name held for other contents is sealed
// beside it; the rest is kept aside and the names freed.
TEST(ArchiveSeal, SealsOnlyWhatAgreesWithTheManifest) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/kestarchive-seal-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    for (const char* sub : {"data", "incoming", "live", "aside"}) fs::create_directory(dir + "/" + sub);
    auto put = [&](const std::string& path, const std::string& text) {
        std::ofstream(dir + "/" + path) << text;
    };
    auto sha = [](const std::string& text) {
        Sha256 h;
        h.add(text.data(), text.size());
        return h.finish();
    };
    const std::string A = "\x01KES01 261201 00:00 a\x04", B = "\x01KES01 261202 00:00 b\x04",
                      C = "\x01KES01 261203 00:00 c\x04", D = "\x01KES01 261204 00:00 d\x04";
    // Sealed before: KES20261202.txt with other contents than B.
    put("data/KES20261202.txt", "first");
    put("record", sealed_line({"KES20261202.txt", 5, sha("first"), 1}));
    // Sealed by a sealer stopped before it recorded it.
    put("data/KES20261204.txt", D);
    put("live/manifest.sha256", sha(A) + "  data/KES20261201.txt\n" + sha(B) + "  data/KES20261202.txt\n" +
                                    sha(C) + "  data/KES20261203.txt\n" + sha(D) +
                                    "  data/KES20261204.txt\n");
    put("incoming/KES20261201.txt", A);                          // agrees
    put("incoming/KES20261202.txt", B);                          // agrees, its name held for other contents
    put("incoming/KES20261203.txt", "planted by a stolen key");  // does not agree
    put("incoming/KES20261204.txt", D);                          // sealed already, not recorded
    put("incoming/KES20261205.txt", "not in the manifest yet");
    fs::create_directories(dir + "/incoming/KES20261206.txt/deep");  // a folder at a future name
    fs::create_symlink("/etc/passwd", dir + "/incoming/KES20261207.txt");
    put("incoming/.KES20261208.txt.a1b2c3", "what a killed rsync left");
    put("incoming/.KES20261101.txt.d4e5f6", "what a killed rsync left long ago");
    put("live/KES20261101.txt", "a live copy of a day long past");
    for (const char* old : {"incoming/.KES20261101.txt.d4e5f6", "live/KES20261101.txt"}) {
        struct timespec times[2] = {{time(nullptr) - 4 * 86400, 0}, {time(nullptr) - 4 * 86400, 0}};
        utimensat(AT_FDCWD, (dir + "/" + old).c_str(), times, 0);
    }

    SiteStatus status;
    SealReport r = seal_site("kest1", dir, time(nullptr), &status);
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(r.sealed, 2);      // A, and B beside the first
    EXPECT_EQ(r.duplicates, 1);  // D
    EXPECT_EQ(r.aside, 3);       // the planted file, the folder, the link
    EXPECT_EQ(r.waiting, 1);
    const std::string twin = twin_name("KES20261202.txt", sha(B));
    EXPECT_EQ(read_all(dir + "/data/KES20261201.txt"), A);
    EXPECT_EQ(read_all(dir + "/data/KES20261202.txt"), "first");
    EXPECT_EQ(read_all(dir + "/data/" + twin), B);
    EXPECT_FALSE(fs::exists(dir + "/data/KES20261203.txt"));
    struct stat st;
    ASSERT_EQ(stat((dir + "/data/KES20261201.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0440u);
    // The record holds each sealed file once, with its sha256.
    std::vector<SealedFile> record = parse_sealed(read_all(dir + "/record"));
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record[1].sha256, sha(A));
    EXPECT_EQ(status.sealed_files, 4);
    EXPECT_EQ(status.aside_files, 1);
    // incoming/ holds what waits, what rsync left, and the refused, renamed:
    // every name a site sends is free again.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir + "/incoming")) left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    ASSERT_EQ(left.size(), 4u);
    EXPECT_EQ(left[0], ".KES20261208.txt.a1b2c3");
    EXPECT_EQ(left[1].compare(0, 9, ".refused."), 0);
    EXPECT_EQ(left[3], "KES20261205.txt");
    EXPECT_FALSE(fs::exists(dir + "/live/KES20261101.txt")) << "a live copy of a day long past";
    // Sealing again changes nothing.
    r = seal_site("kest1", dir, time(nullptr), nullptr);
    EXPECT_EQ(r.sealed + r.duplicates + r.aside, 0);
    // The scrub finds a sealed copy that rotted, and one gone.
    fs::permissions(dir + "/data/KES20261201.txt", fs::perms::owner_write, fs::perm_options::add);
    put("data/KES20261201.txt", "rotted");
    fs::remove(dir + "/data/" + twin);
    ScrubReport s = scrub_site("kest1", dir, 0);
    EXPECT_EQ(s.ok, 2);
    EXPECT_EQ(s.changed, 1);
    EXPECT_EQ(s.missing, 1);
    fs::remove_all(dir);
}
