// Shared unit-test fixture: a fresh state, a controllable clock and a
// scratch working directory, so tests can read back ./data/.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "logs/logs.h"
#include "supervisor/supervisor.h"

// The test clock: fake_now seconds and fake_ms milliseconds.
inline time_t fake_now = 0;
inline int fake_ms = 0;

inline long long fake_clock() { return fake_now * 1000LL + fake_ms; }

inline ClockSync fake_sync = ClockSync::Synchronised;

inline ClockSync fake_clock_sync() { return fake_sync; }

// Seconds since the epoch for a UTC date and time (the tests run in UTC).
inline time_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class StateTest : public testing::Test {
   protected:
    void SetUp() override {
        reset_state();
        fake_now = utc(2015, 6, 16, 14, 2, 11);
        fake_ms = 0;
        set_clock_source(fake_clock);
        fake_sync = ClockSync::Synchronised;
        set_clock_sync_source(fake_clock_sync);
        char tmpl[] = "/tmp/kestlog-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }

    void TearDown() override {
        console_capture(nullptr);  // a test's gathering of the console (console_capture) ends with it
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
        set_clock_source(nullptr);
        set_clock_sync_source(nullptr);
    }

    // Takes the pass's clock reading and names the day's files under ./data/.
    void open_day() {
        curdatetim();
        std::filesystem::create_directory("data");
        testing::internal::CaptureStdout();
        mkmesnm();
        mkkesnm();
        testing::internal::GetCapturedStdout();
    }

    std::string messages() { return slurp(mon.meskeslog); }
    std::string status_file() { return slurp(mon.keslog); }

   private:
    std::string dir_;
    std::filesystem::path old_cwd_;
};
