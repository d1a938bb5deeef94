// The archive's rules as tables: what is closed, what a file still needs,
// and what may be deleted at the site; and the state they keep.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "archive.h"

namespace {

SiteFile file(const std::string& name, long long mtime, long long size = 100) {
    SiteFile f;
    f.name = name;
    parse_daily_file_name(name, &f.kind, &f.date, &f.compressed);
    f.mtime_ns = mtime;
    f.size = size;
    return f;
}

const std::string SHA = std::string(63, 'a') + "b";

// Recorded with the time of last change 1, as file() makes them; a
// confirmation's grace aged by `aged` seconds.
ArchivedFile entry(const std::string& name, long long confirmed, long long size = 100, long long aged = 0) {
    ArchivedFile e{name, size, SHA, name, 1, confirmed};
    e.mtime_ns = 1;
    e.aged = aged;
    return e;
}

}  // namespace

// Of each kind the file written last is open, whatever its name, but not
// one written under a clock since set back; a compressed file is closed.
TEST(ArchiveRules, TheFileWrittenLastOfEachKindIsOpen) {
    const long long NOW = 100LL * 1000000000, HOUR = 3600LL * 1000000000;
    struct Case {
        const char* what;
        std::vector<SiteFile> files;
        std::vector<bool> closed;
    } cases[] = {
        {"yesterday and today", {file("KES20261207.txt", 1), file("KES20261208.txt", 2)}, {true, false}},
        {"a log named at start-up, written since",
         {file("MESKES20261201.txt", 9), file("MESKES20261207.txt", 3)},
         {false, true}},
        {"a clock battery gone: 2000 is the newest",
         {file("KES20000101.txt", 5), file("KES20261208.txt", 4)},
         {false, true}},
        {"the kinds apart", {file("KES20261208.txt", 1), file("MESKES20261201.txt", 2)}, {false, false}},
        {"compressed", {file("KES20261207.txt.gz", 7), file("KES20261208.txt", 2)}, {true, false}},
        {"written a year ahead, the clock set back since: today's is still written",
         {file("KES20271208.txt", NOW + 8760 * HOUR), file("KES20261208.txt", NOW - 1)},
         {true, false}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        mark_closed(&c.files, NOW);
        for (size_t i = 0; i < c.files.size(); i++)
            EXPECT_EQ(c.files[i].closed, c.closed[i]) << c.files[i].name;
    }
}

TEST(ArchiveRules, WhatAClosedFileStillNeeds) {
    ArchiveState state;
    state.files = {entry("KES20261201.txt", 0), entry("KES20261202.txt", 50), entry("KES20261203.txt.gz", 50),
                   entry("KES20261204.txt", 50), entry("KES20261205.txt", 50)};
    state.files[3].changed = true;
    state.files[4].gone = true;
    struct Case {
        SiteFile f;
        Need need;
    } cases[] = {
        {file("KES20261130.txt", 1), Need::Record},                 // never seen
        {file("KES20261201.txt", 1), Need::Confirm},                // sent, not confirmed
        {file("KES20261202.txt", 1), Need::Nothing},                // confirmed
        {file("KES20261202.txt", 1, 101), Need::Check},             // more: its name came back, or changed
        {file("KES20261202.txt", 2), Need::Check},                  // written since, same size
        {file("KES20261204.txt", 1, 90), Need::Nothing},            // a change found: not looked for again
        {file("KES20261204.txt", 3, 90), Need::Check},              // until it is written once more
        {file("KES20261205.txt", 1, 90), Need::Record},             // deleted here, then made again
        {file("KES20261202.txt.gz", 1, 40), Need::CoveredByPlain},  // compressed since it was confirmed
        {file("KES20261203.txt.gz", 1), Need::Nothing},             // sent compressed, confirmed
    };
    for (const Case& c : cases) EXPECT_EQ(need_of(c.f, state), c.need) << c.f.name;
}

// Only confirmed, closed files whose contents are still those confirmed,
// past the grace period (on the clock since boot): older than keep_days, or
// the oldest while space is short, until the floor is reached.
TEST(ArchiveRules, OnlyConfirmedClosedFilesPastTheGraceAreDeleted) {
    const long long HOUR = 3600, NOW = 1000 * HOUR, MB = 1024 * 1024;
    std::vector<SiteFile> files = {file("KES20261101.txt", 1, 3 * MB), file("KES20261102.txt", 2, 3 * MB),
                                   file("KES20261103.txt", 3, 3 * MB), file("KES20261205.txt", 4, 3 * MB),
                                   file("KES20261208.txt", 5, 3 * MB)};
    mark_closed(&files, NOW * 1000000000);  // the last one is open
    ArchiveState state;
    // The third was confirmed 48 hours ago by the wall clock, which was a
    // day ahead then: 2 hours have passed.
    state.files = {entry("KES20261101.txt", NOW - 48 * HOUR, 3 * MB, 48 * HOUR),
                   entry("KES20261102.txt", 0, 3 * MB),
                   entry("KES20261103.txt", NOW - 48 * HOUR, 3 * MB, 2 * HOUR),
                   entry("KES20261205.txt", NOW - 48 * HOUR, 3 * MB, 48 * HOUR),
                   entry("KES20261208.txt", NOW - 48 * HOUR, 3 * MB, 48 * HOUR)};
    struct Case {
        const char* what;
        int keep_days;
        long long keep_free_mb, free_mb;
        std::vector<bool> verified;
        std::vector<size_t> deleted;
        long long short_mb;
    } cases[] = {
        {"nothing asked", 0, 0, 1, {true, true, true, true, true}, {}, 0},
        {"keep 30 days: the old confirmed one past its grace",
         30,
         0,
         1,
         {true, true, true, true, true},
         {0},
         0},
        {"changed since it was confirmed", 30, 0, 1, {false, true, true, true, true}, {}, 0},
        {"a floor: the oldest confirmed first, until it holds",
         0,
         5,
         1,
         {true, true, true, true, true},
         {0, 3},
         0},
        {"a floor one deletion reaches: no more", 0, 5, 3, {true, true, true, true, true}, {0}, 0},
        {"a floor nothing confirmed can reach", 0, 100, 1, {true, true, true, true, true}, {0, 3}, 93},
        {"changed here after its confirmation", 30, 0, 1, {true, true, true, true, true}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        state.files[0].changed = std::string(c.what).find("changed here") == 0;
        ArchiveSettings s;
        s.keep_days = c.keep_days;
        s.keep_free_mb = c.keep_free_mb;
        long long short_bytes = -1;
        std::vector<Deletion> d =
            deletable(files, state, c.verified, s, 20261209, c.free_mb * MB, &short_bytes);
        std::vector<size_t> chosen;
        for (const Deletion& x : d) chosen.push_back(x.file);
        EXPECT_EQ(chosen, c.deleted);
        EXPECT_EQ(short_bytes, c.short_mb * MB);
    }
}

TEST(ArchiveRules, TheStateIsReadAsWrittenAndTwinsKeepTheirKind) {
    char tmpl[] = "/tmp/kestlog-archive-unit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/state";
    ArchiveState s;
    s.last_success = 1765270000;
    s.pending_files = 2;
    s.pending_bytes = 4096;
    s.oldest_pending_day = 20261207;
    s.files = {entry("KES20261207.txt", 9), entry("MESKES20261201.txt", 0)};
    s.files[1].archive_name = twin_name("MESKES20261201.txt", SHA);
    s.files[0].aged = 7200;
    s.files[0].changed = true;
    ASSERT_TRUE(write_archive_state(path.c_str(), s));
    // A line of the version before the grace was aged reads too.
    std::ofstream(path, std::ios::app) << "file KES20261101.txt 5 " << SHA << " KES20261101.txt 1 2\n";
    ArchiveState back;
    int skipped = -1;
    ASSERT_TRUE(read_archive_state(path.c_str(), &back, &skipped));
    EXPECT_EQ(skipped, 0);
    ASSERT_EQ(back.files.size(), 3u);
    EXPECT_EQ(back.files[1].archive_name, "MESKES20261201.aaaaaaaa.txt");
    EXPECT_TRUE(back.files[0].changed && back.files[0].aged == 7200 && back.files[0].mtime_ns == 1);
    EXPECT_TRUE(!back.files[2].changed && back.files[2].aged == 0 && back.files[2].confirmed == 2);
    EXPECT_EQ(twin_name("KES20000101.txt.gz", SHA), "KES20000101.aaaaaaaa.txt.gz");
    EXPECT_EQ(archive_summary(back),
              "archive: last success 2025-12-09 08:46:40 UTC, 2 files (4096 bytes) pending, the oldest of "
              "2026-12-07\n");
    std::ofstream(path, std::ios::app) << "file ../../etc/passwd 1 " << SHA << " x 1 1\nnonsense\n";
    ASSERT_TRUE(read_archive_state(path.c_str(), &back, &skipped));
    EXPECT_EQ(skipped, 2) << "a name that is no file of the logger's, or a line that makes no sense";
    std::filesystem::remove_all(tmpl);
}

// What the settings refuse before anything is sent: a word ssh would read
// as an option, a second word on a line, and (at --check) a key that ssh
// refuses because its group or others may read it.
TEST(ArchiveSettingsTest, RefusesWhatSshWouldMisreadOrRefuse) {
    char tmpl[] = "/tmp/kestlog-archive-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, key = dir + "/key", file = dir + "/kest1.archive";
    std::ofstream(key) << "not a key, but a file\n";
    std::ofstream(dir + "/known_hosts") << "host ssh-ed25519 AAAA\n";
    struct Case {
        const char* line;
        mode_t key_mode;
        const char* said;  // what the refusal says, by reading or else by --check; nullptr: none
    } cases[] = {
        {"destination=kest1@archive.example.org:", 0600, nullptr},
        {"destination=-oops@archive.example.org:", 0600, "not USER@HOST:PATH"},
        {"destination=kest1@-oops:", 0600, "not USER@HOST:PATH"},
        {"keep_days=3 days", 0600, "one value a line"},
        {"destination=kest1@archive.example.org: ; a comment after it", 0600, "one value a line"},
        {"destination=kest1@archive.example.org:", 0640, "readable by its group: ssh refuses it"},
        {"destination=kest1@archive.example.org:", 0604, "readable by others: ssh refuses it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string text =
            std::string("key=") + key + "\nknown_hosts=" + dir + "/known_hosts\n" + c.line + "\n";
        if (std::string(c.line).find("destination=") == std::string::npos)
            text += "destination=kest1@archive.example.org:\n";
        std::ofstream(file) << text;
        chmod(key.c_str(), c.key_mode);
        ArchiveSettings s;
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int problems = read_archive_settings(file.c_str(), &s);
        if (problems == 0) problems = check_archive_settings(file.c_str(), s);
        testing::internal::GetCapturedStdout();
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(problems > 0, c.said != nullptr) << said;
        if (c.said) {
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
        }
    }
    std::filesystem::remove_all(dir);
}

// A failure names its side (the local key, the network, the archive) in
// words an operator acts on, and the far end's bytes never reach the
// journal raw.
TEST(ArchiveLink, AFailureNamesItsSideAndNothingRawReachesTheJournal) {
    struct Case {
        const char* out;
        const char* said;
    } cases[] = {
        {"Load key \"/etc/kestlog/k\": bad permissions\r\nkest1@h: Permission denied (publickey).\r\n",
         "the local key cannot be used: Load key \"/etc/kestlog/k\": bad permissions"},
        {"@@@@@@@@@@@\n@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\nThe fingerprint for the "
         "ED25519 key sent by the remote host is\nSHA256:abcDEF+/12.\n",
         "the archive host's key is not the one known (it offered SHA256:abcDEF+/12): "},
        {"kest1@h: Permission denied (publickey).\r\n", "the archive host refused the key: "},
        {"ssh: connect to host 10.0.0.2 port 22: No route to host\r\n",
         "the archive host is unreachable: ssh:"},
        {"client_loop: send disconnect: Broken pipe\r\n", "the link to the archive host broke: "},
        {"rsync: [receiver] write failed on \"x\": No space left on device (28)\n", "the archive is full: "},
        {"kestlog-archive-gate: refused: \x1b]0;owned\x07\r\n",
         "the archive refused it: kestlog-archive-gate: "
         "refused: ^[]0;owned^G"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        std::string said = why(Result{3072, c.out});
        EXPECT_EQ(said.compare(0, strlen(c.said), c.said), 0) << said;
        EXPECT_EQ(said.find_first_of("\r\x07\x1b"), std::string::npos) << said;
    }
}
