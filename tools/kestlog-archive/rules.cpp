// What is closed, what still needs the archive, and what may be deleted:
// decisions only, no files touched.
#include <algorithm>
#include <cstring>

#include "archive.h"

void mark_closed(std::vector<SiteFile>* files, long long now_ns) {
    const long long latest = now_ns + CLOCK_SLACK_S * 1000000000LL;
    for (DailyFile kind : {DailyFile::Status, DailyFile::Messages}) {
        SiteFile* newest = nullptr;
        for (SiteFile& f : *files) {
            if (f.kind != kind) continue;
            f.closed = true;
            // Written under a clock since set back: the logger writes now, not then.
            if (f.compressed || f.mtime_ns > latest) continue;
            if (!newest || f.mtime_ns > newest->mtime_ns) newest = &f;
        }
        if (newest) newest->closed = false;
    }
}

long long boot_elapsed(long long before, long long now) {
    // A clock since boot smaller than before: the machine booted again, and
    // only the time since is known. One larger may hide a reboot too; then
    // the difference is less than what passed, never more.
    if (before <= 0) return 0;
    return now >= before ? now - before : now;
}

const ArchivedFile* entry_of(const ArchiveState& state, const SiteFile& f) {
    std::string plain = f.name;
    if (f.compressed) plain.resize(plain.size() - strlen(COMPRESSED_SUFFIX));
    const ArchivedFile* found = nullptr;
    // The last one recorded under the name: a name may come back (a clock set back).
    for (const ArchivedFile& e : state.files) {
        if (e.name == plain || e.name == f.name) found = &e;
    }
    return found;
}

ArchivedFile* entry_of(ArchiveState& state, const SiteFile& f) {
    return const_cast<ArchivedFile*>(entry_of(static_cast<const ArchiveState&>(state), f));
}

Need need_of(const SiteFile& f, const ArchiveState& state) {
    const ArchivedFile* e = entry_of(state, f);
    if (!e || e->gone) return Need::Record;  // never seen, or a new file of a name gone before
    if (f.compressed && e->name != f.name) return Need::CoveredByPlain;  // the daily job compressed it since
    // Written since it was looked at (a clock set back wrote to it again, a
    // new file took its name, or it was changed): its contents must be read
    // again. A change already found is not looked for again until it is
    // written once more.
    if (!f.compressed && (f.mtime_ns != e->mtime_ns || (f.size != e->size && !e->changed)))
        return Need::Check;
    return e->confirmed > 0 ? Need::Nothing : Need::Confirm;
}

std::vector<Deletion> deletable(const std::vector<SiteFile>& files, const ArchiveState& state,
                                const std::vector<bool>& verified, const ArchiveSettings& s, int today,
                                long long free_bytes, long long* short_bytes) {
    constexpr long long MB = 1024 * 1024;
    // Only confirmed, closed files whose contents are still what was
    // confirmed, and only after the grace period: oldest first.
    std::vector<size_t> candidates;
    for (size_t i = 0; i < files.size(); i++) {
        const ArchivedFile* e = entry_of(state, files[i]);
        if (!files[i].closed || !e || e->confirmed <= 0 || e->changed || !verified[i]) continue;
        if (e->aged < static_cast<long long>(s.grace_hours) * 3600) continue;
        candidates.push_back(i);
    }
    std::stable_sort(candidates.begin(), candidates.end(), [&](size_t a, size_t b) {
        return files[a].date != files[b].date ? files[a].date < files[b].date
                                              : files[a].mtime_ns < files[b].mtime_ns;
    });
    std::vector<Deletion> out;
    // Days since a date yyyymmdd, by the calendar (a month is no 100 days).
    auto age_days = [today](int date) {
        auto days = [](int d) {
            int y = d / 10000, m = d / 100 % 100, dd = d % 100;
            y -= m <= 2;
            long era = (y >= 0 ? y : y - 399) / 400;
            long yoe = y - era * 400;
            long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
            long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
            return era * 146097 + doe;
        };
        return days(today) - days(date);
    };
    long long floor = s.keep_free_mb * MB;
    long long freed = 0;
    for (size_t i : candidates) {
        bool old = s.keep_days > 0 && age_days(files[i].date) > s.keep_days;
        bool space = floor > 0 && free_bytes + freed < floor;
        if (!old && !space) continue;
        out.push_back({i, !old});
        freed += files[i].size;
    }
    *short_bytes = floor > 0 && free_bytes + freed < floor ? floor - (free_bytes + freed) : 0;
    return out;
}
