// The fleet's page, its CSV and JSON, and its metrics: static files, so
// that any web server, or none, shows them, and nothing answers a network.
// The page is whole without its script; the script only sorts and filters.
#include <errno.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "kestarchive.h"
#include "report.h"

namespace {

// The colours of the day picture (colour-blind safe), and a pattern for
// "not yet arrived", so that no state is told by colour alone: each cell
// carries its figure as text too.
const char* const STYLE =
    "body{font:14px sans-serif;margin:1em}table{border-collapse:collapse}"
    "th,td{height:28px;padding:0 4px;white-space:nowrap;text-align:right}"
    "thead th{position:sticky;top:0;background:#fff;z-index:1;cursor:pointer}"
    "tbody th{text-align:left}td a{color:#000;text-decoration:none}"
    "tbody td:not(.v){min-width:26px;--o:#bbbbbb;"
    "background:linear-gradient(90deg,#0072b2 calc(var(--g,100)*1%),var(--o) 0) bottom/100% 7px no-repeat}"
    ".f{--o:#f0e442}.s{--o:#e69f00}.l{--o:#d55e00}.x{--o:#bbbbbb}tbody td.n{background:#f4f4f4}"
    "tbody td.p{background:linear-gradient(90deg,#0072b2 calc(var(--g,0)*1%),transparent 0) bottom/100% 7px "
    "no-repeat,repeating-linear-gradient(45deg,#777 0 2px,#fff 2px 5px) bottom/100% 7px no-repeat}"
    ".bad{font-weight:bold}.k i{display:inline-block;width:14px;height:10px;margin:0 3px 0 10px}\n";

// Sorting by a heading's click, and filtering by a site-name pattern; the
// address can carry both (index.html#sort=4&q=kest*), so that a sorted or
// filtered view can be linked to.
const char* const SCRIPT =
    "<script>\n"
    "(function(){var t=document.getElementById('fleet'),b=t.tBodies[0],q=document.getElementById('q');\n"
    "q.hidden=false;var dir={};\n"
    "function v(r,i){var c=r.cells[i];var d=c.getAttribute('data-v');return d===null?c.textContent:+d;}\n"
    "function sort(i,down){var rs=Array.prototype.slice.call(b.rows);\n"
    " rs.sort(function(x,y){var a=v(x,i),c=v(y,i);return (a<c?-1:a>c?1:0)*(down?-1:1);});\n"
    " rs.forEach(function(r){b.appendChild(r);});}\n"
    "Array.prototype.forEach.call(t.tHead.rows[0].cells,function(h,i){h.onclick=function(){\n"
    " dir[i]=!dir[i];sort(i,!dir[i]);};});\n"
    "function filter(){var p=q.value.replace(/[.+^${}()|[\\]\\\\]/g,'\\\\$&').replace(/\\*/g,'.*')"
    ".replace(/\\?/g,'.');\n"
    " var re=new RegExp('^'+p+(q.value.indexOf('*')<0?'':'$'));\n"
    " Array.prototype.forEach.call(b.rows,function(r){r.hidden=!re.test(r.cells[0].textContent);});}\n"
    "q.oninput=filter;\n"
    "location.hash.slice(1).split('&').forEach(function(kv){var p=kv.split('=');\n"
    " if(p[0]==='sort'&&t.tHead.rows[0].cells[Math.abs(+p[1])])sort(Math.abs(+p[1]),p[1][0]==='-');\n"
    " if(p[0]==='q'){q.value=decodeURIComponent(p[1]||'');filter();}});\n"
    "})();\n</script>\n";

std::string age_text(long long age, bool never) {
    char t[32];
    if (never) return "never";
    if (age < 3600)
        snprintf(t, sizeof t, "%lld min", std::max(0LL, age) / 60);
    else if (age < 48 * 3600)
        snprintf(t, sizeof t, "%lld h", age / 3600);
    else
        snprintf(t, sizeof t, "%lld d", age / 86400);
    return t;
}

std::string date_iso(int date) {
    char t[16];
    snprintf(t, sizeof t, "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
    return t;
}

std::string utc_iso(long long when) {
    char t[32];
    time_t tt = static_cast<time_t>(when);
    struct tm tm;
    gmtime_r(&tt, &tm);
    strftime(t, sizeof t, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return t;
}

// The figure a cell shows: the share of good minutes, in whole percent,
// rounded down, so that 100 is a day wholly good; -1 for none expected.
int figure(const FleetDay& d) { return d.expected() > 0 ? d.count[FLEET_GOOD] * 100 / d.expected() : -1; }

// What the rest of a day is mostly: the state of its largest share.
int main_other(const FleetDay& d) {
    int best = FLEET_STOPPED;
    for (int s = FLEET_FAULTS; s < FLEET_NONE; s++)
        if (d.count[s] > d.count[best]) best = s;
    return best;
}

int bucket_rank(long long age, bool never) {
    const char* b = age_bucket(age, never);
    const char* order[] = {"2 d", "7 d", "25 d", "older", "never"};
    for (int i = 0; i < 5; i++)
        if (!strcmp(b, order[i])) return i;
    return 4;
}

std::string checks_text(const SiteStatus& c) {
    if (c.scrub_changed + c.scrub_missing + c.aside_files == 0)
        return c.scrub_last ? "ok" : "not yet scrubbed";
    char t[96];
    snprintf(t, sizeof t, "%lld changed, %lld gone, %lld aside", c.scrub_changed, c.scrub_missing,
             c.aside_files);
    return t;
}

std::string percent(double share) {
    if (share < 0) return "";
    char t[16];
    snprintf(t, sizeof t, "%.1f", share * 100);
    return t;
}

void legend(std::string* out) {
    *out += "<p class=k>";
    for (int s = 0; s < FLEET_STATES; s++)
        appendf(out, "<i style=\"background:%s\"></i>%s",
                s == FLEET_PENDING ? "repeating-linear-gradient(45deg,#777 0 2px,#fff 2px 5px)"
                                   : FLEET_COLOURS[s],
                FLEET_STATE_NAMES[s]);
    *out += "<br>A cell's figure is its day's share of good minutes; its bar, the day in proportion.\n";
}

// The figures of a site, as table cells (the fleet's row and the site's page).
void site_cells(const FleetSite& s, long long now, std::string* out) {
    long long data_age = now - s.newest_packet, push_age = now - s.last_push;
    bool no_data = s.newest_packet == 0, no_push = s.last_push == 0;
    std::string bucket = no_data ? "" : std::string(" (") + age_bucket(data_age, false) + ")";
    appendf(out, "<td class=\"v%s\" data-v=%lld>%s%s", bucket_rank(data_age, no_data) > 0 ? " bad" : "",
            no_data ? (1LL << 40) : data_age, age_text(data_age, no_data).c_str(), bucket.c_str());
    appendf(out, "<td class=\"v%s\" data-v=%lld>%s%s", s.silent ? " bad" : "",
            no_push ? (1LL << 40) : push_age, age_text(push_age, no_push).c_str(),
            s.silent ? ": silent" : "");
    double y = s.yesterday();
    appendf(out, "<td class=v data-v=%.4f>%s", y < 0 ? 2.0 : y, y < 0 ? "-" : (percent(y) + " %").c_str());
    appendf(out, "<td class=v data-v=%d>%s", s.longest_gap(),
            age_text(s.longest_gap() * 60LL, false).c_str());
    appendf(out, "<td class=v data-v=%lld>%lld", s.pending_files, s.pending_files);
    long long problems = s.checks.scrub_changed + s.checks.scrub_missing + s.checks.aside_files;
    appendf(out, "<td class=\"v%s\" data-v=%lld>%s", problems ? " bad" : "", problems,
            checks_text(s.checks).c_str());
}

const char* const FIGURE_HEADS =
    "<th>newest packet<th>last push<th>yesterday<th>longest gap<th>pending files<th>archive checks";

void day_cell(const std::string& link, const FleetDay& d, std::string* out) {
    int g = figure(d);
    if (g < 0) {
        appendf(out, "<td class=n><a href=%s%08d.html>-</a>", link.c_str(), d.date);
        return;
    }
    if (g == 100) {
        appendf(out, "<td><a href=%s%08d.html>100</a>", link.c_str(), d.date);
        return;
    }
    appendf(out, "<td class=%c style=--g:%d><a href=%s%08d.html>%d</a>", FLEET_CODES[main_other(d)], g,
            link.c_str(), d.date, g);
}

std::string page_head(const std::string& title) {
    return "<!doctype html><html lang=en><meta charset=utf-8><meta name=viewport "
           "content=\"width=device-width\">"
           "<title>" +
           title + "</title><style>" + STYLE + "</style>\n<h1>" + title + "</h1>\n";
}

void write_page(const std::string& path, const std::string& text, bool* ok) {
    if (!put_file(path, text)) *ok = false;
}

}  // namespace

void sort_worst_first(std::vector<FleetSite>* sites, long long now) {
    auto key = [now](const FleetSite& s) {
        double y = s.yesterday();
        return std::make_tuple(!s.silent, -bucket_rank(now - s.last_push, s.last_push == 0),
                               -bucket_rank(now - s.newest_packet, s.newest_packet == 0), y < 0 ? 2.0 : y,
                               -(s.checks.scrub_changed + s.checks.scrub_missing + s.checks.aside_files),
                               s.name);
    };
    std::sort(sites->begin(), sites->end(),
              [&](const FleetSite& a, const FleetSite& b) { return key(a) < key(b); });
}

std::string fleet_html(const std::vector<FleetSite>& sites, const FleetOptions& o) {
    std::string out = page_head("KESTLOG fleet");
    appendf(&out,
            "<p>%zu sites, the last %d days in each site's own time zone; built %s, worst first. "
            "<a href=fleet.csv>fleet.csv</a> <a href=fleet.json>fleet.json</a>\n",
            sites.size(), o.days, utc_text(o.now).c_str());
    legend(&out);
    out += "<p><input id=q hidden placeholder=\"site name pattern, as kest*\" aria-label=\"site filter\">\n";
    out += "<table id=fleet><thead><tr><th>site";
    out += FIGURE_HEADS;
    if (!sites.empty())
        for (const FleetDay& d : sites[0].days)
            appendf(&out, "<th>%02d-%02d", d.date / 100 % 100, d.date % 100);
    out += "</thead><tbody>\n";
    for (const FleetSite& s : sites) {
        appendf(&out, "<tr><th><a href=%s/index.html>%s</a>", s.name.c_str(), s.name.c_str());
        site_cells(s, o.now, &out);
        for (const FleetDay& d : s.days) day_cell(s.name + "/", d, &out);
        out += "\n";
    }
    out += "</tbody></table>\n";
    out += SCRIPT;
    return out;
}

std::string site_html(const FleetSite& s, const FleetOptions& o) {
    std::string out = page_head("KESTLOG site " + s.name);
    appendf(&out, "<p><a href=../index.html>fleet</a> &middot; time zone %s &middot; built %s\n",
            s.zone.c_str(), utc_text(o.now).c_str());
    legend(&out);
    out += "<table><thead><tr>";
    out += FIGURE_HEADS;
    out += "</thead><tbody><tr>";
    site_cells(s, o.now, &out);
    out += "</tbody></table>\n<h2>Days</h2><table><thead><tr><th>day<th>good %<th>complete %";
    for (int st = 0; st < FLEET_STATES; st++) appendf(&out, "<th>%s", FLEET_STATE_NAMES[st]);
    out += "<th>share</thead><tbody>\n";
    for (auto d = s.days.rbegin(); d != s.days.rend(); ++d) {
        appendf(&out, "<tr><th><a href=%08d.html>%s</a><td class=v>%s<td class=v>%s", d->date,
                date_iso(d->date).c_str(), percent(d->good()).c_str(), percent(d->completeness()).c_str());
        for (int st = 0; st < FLEET_STATES; st++) appendf(&out, "<td class=v>%d", d->count[st]);
        day_cell("", *d, &out);
        out += "\n";
    }
    out +=
        "</tbody></table>\n<h2>Gaps of three minutes or more</h2><table><thead><tr><th>from (UTC)<th>to (UTC)"
        "<th>minutes<th>not yet arrived</thead><tbody>\n";
    for (const FleetGap& g : s.gaps)
        appendf(&out, "<tr><td>%s<td>%s<td>%d<td>%d\n", utc_iso(g.from).c_str(), utc_iso(g.to).c_str(),
                g.minutes, g.pending);
    out += "</tbody></table>\n";
    return out;
}

std::string fleet_csv(const std::vector<FleetSite>& sites) {
    std::string out = "site,date,good_figure,good_pct,completeness_pct";
    for (const char* name : FLEET_STATE_NAMES) {
        out += ",";
        for (const char* c = name; *c; c++) out += *c == ' ' ? '_' : *c;
    }
    out += "\n";
    for (const FleetSite& s : sites) {
        for (const FleetDay& d : s.days) {
            int g = figure(d);
            appendf(&out, "%s,%s,%s,%s,%s", s.name.c_str(), date_iso(d.date).c_str(),
                    g < 0 ? "" : std::to_string(g).c_str(), percent(d.good()).c_str(),
                    percent(d.completeness()).c_str());
            for (int st = 0; st < FLEET_STATES; st++) appendf(&out, ",%d", d.count[st]);
            out += "\n";
        }
    }
    return out;
}

std::string fleet_json(const std::vector<FleetSite>& sites, const FleetOptions& o) {
    std::string out;
    appendf(&out, "{\"built\":\"%s\",\"days\":%d,\"sites\":[", utc_iso(o.now).c_str(), o.days);
    for (size_t i = 0; i < sites.size(); i++) {
        const FleetSite& s = sites[i];
        double y = s.yesterday();
        appendf(&out, "%s\n{\"site\":\"%s\",\"zone\":\"%s\",", i ? "," : "", s.name.c_str(), s.zone.c_str());
        appendf(&out, "\"newest_packet\":%s,\"newest_packet_bucket\":\"%s\",",
                s.newest_packet ? ("\"" + utc_iso(s.newest_packet) + "\"").c_str() : "null",
                age_bucket(o.now - s.newest_packet, s.newest_packet == 0));
        appendf(&out, "\"last_push\":%s,\"last_push_bucket\":\"%s\",",
                s.last_push ? ("\"" + utc_iso(s.last_push) + "\"").c_str() : "null",
                age_bucket(o.now - s.last_push, s.last_push == 0));
        appendf(&out, "\"yesterday_completeness\":%s,\"longest_gap_minutes\":%d,\"pending_files\":%lld,",
                y < 0 ? "null" : percent(y).c_str(), s.longest_gap(), s.pending_files);
        appendf(&out,
                "\"checks\":{\"sealed\":%lld,\"aside\":%lld,\"changed\":%lld,\"gone\":%lld,\"scrubbed\":%s},",
                s.checks.sealed_files, s.checks.aside_files, s.checks.scrub_changed, s.checks.scrub_missing,
                s.checks.scrub_last ? ("\"" + utc_iso(s.checks.scrub_last) + "\"").c_str() : "null");
        out += "\"days\":[";
        for (size_t k = 0; k < s.days.size(); k++) {
            const FleetDay& d = s.days[k];
            appendf(&out, "%s{\"date\":\"%s\",\"good_pct\":%s,\"completeness_pct\":%s,\"minutes\":{",
                    k ? "," : "", date_iso(d.date).c_str(), d.expected() ? percent(d.good()).c_str() : "null",
                    d.expected() ? percent(d.completeness()).c_str() : "null");
            for (int st = 0; st < FLEET_STATES; st++)
                appendf(&out, "%s\"%s\":%d", st ? "," : "", FLEET_STATE_NAMES[st], d.count[st]);
            out += "}}";
        }
        out += "],\"gaps\":[";
        for (size_t k = 0; k < s.gaps.size(); k++)
            appendf(&out, "%s{\"from\":\"%s\",\"to\":\"%s\",\"minutes\":%d,\"not_yet_arrived\":%d}",
                    k ? "," : "", utc_iso(s.gaps[k].from).c_str(), utc_iso(s.gaps[k].to).c_str(),
                    s.gaps[k].minutes, s.gaps[k].pending);
        out += "]}";
    }
    out += "\n]}\n";
    return out;
}

std::string fleet_metrics(const std::vector<FleetSite>& sites, const FleetOptions& o) {
    std::string out;
    struct Gauge {
        const char* name;
        const char* help;
    };
    const Gauge gauges[] = {
        {"kestarchive_site_newest_packet_timestamp_seconds",
         "The end of the newest minute with data the archive holds of the site, 0 none."},
        {"kestarchive_site_last_push_timestamp_seconds",
         "When the site last pushed, by the archive's clock, 0 never."},
        {"kestarchive_site_yesterday_completeness_ratio",
         "The share of yesterday's expected minutes (the site's own day) with data."},
        {"kestarchive_site_pending_files", "Files the site's manifest names and the archive has not sealed."},
        {"kestarchive_site_check_problems",
         "Sealed files the scrub found changed or gone, and files kept aside."},
        {"kestarchive_site_silent",
         "1 when the site has not pushed for longer than the builder's --silent-after."},
    };
    for (size_t g = 0; g < std::size(gauges); g++) {
        appendf(&out, "# HELP %s %s\n# TYPE %s gauge\n", gauges[g].name, gauges[g].help, gauges[g].name);
        for (const FleetSite& s : sites) {
            double y = s.yesterday();
            if (g == 2 && y < 0) continue;  // none expected: no figure, rather than a false one
            double v[] = {
                static_cast<double>(s.newest_packet),
                static_cast<double>(s.last_push),
                y,
                static_cast<double>(s.pending_files),
                static_cast<double>(s.checks.scrub_changed + s.checks.scrub_missing + s.checks.aside_files),
                s.silent ? 1.0 : 0.0};
            appendf(&out, g == 2 ? "%s{site=\"%s\"} %.4f\n" : "%s{site=\"%s\"} %.0f\n", gauges[g].name,
                    s.name.c_str(), v[g]);
        }
    }
    appendf(&out,
            "# HELP kestarchive_fleet_built_timestamp_seconds When the fleet's page was last built.\n"
            "# TYPE kestarchive_fleet_built_timestamp_seconds gauge\n"
            "kestarchive_fleet_built_timestamp_seconds %lld\n",
            o.now);
    return out;
}

int build_fleet(const FleetOptions& o) {
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    mkdir(o.out.c_str(), 0755);
    mkdir(o.cache.c_str(), 0750);
    // One column a date for every site: the UTC day's date ends the window,
    // each site's day of that date in its own zone.
    FleetOptions by_date = o;
    time_t now = static_cast<time_t>(o.now);
    struct tm utc;
    gmtime_r(&now, &utc);
    by_date.last_date = (utc.tm_year + 1900) * 10000 + (utc.tm_mon + 1) * 100 + utc.tm_mday;
    std::vector<FleetSite> sites;
    int made = 0;
    for (const std::string& site : list_sites(o.root)) {
        sites.push_back(fleet_site(site, by_date));
        made += sites.back().made;
    }
    sort_worst_first(&sites, o.now);
    bool ok = true;
    for (const FleetSite& s : sites) write_page(o.out + "/" + s.name + "/index.html", site_html(s, o), &ok);
    write_page(o.out + "/fleet.csv", fleet_csv(sites), &ok);
    write_page(o.out + "/fleet.json", fleet_json(sites, o), &ok);
    write_page(o.out + "/index.html", fleet_html(sites, o), &ok);
    if (!o.metrics.empty()) write_page(o.metrics, fleet_metrics(sites, o), &ok);
    struct timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    fprintf(stderr, "kestarchive: fleet: %zu sites, %d days read, the rest from the cache, in %.2f s\n",
            sites.size(), made, static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9);
    return ok ? 0 : 1;
}
