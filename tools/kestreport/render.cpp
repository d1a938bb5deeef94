// What kestreport prints or draws of a summary: the text report, one CSV row
// per minute, a coloured view for the terminal and the SVG picture.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "formats/formats.h"
#include "report.h"

void appendf(std::string* out, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0)
        out->append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

namespace {

std::string clock_text(int second) {
    char t[32];
    snprintf(t, sizeof t, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
    return t;
}

std::string minute_text(int minute) {
    char t[16];
    snprintf(t, sizeof t, "%02d:%02d", minute / 60, minute % 60);
    return t;
}

// How each state looks: in the picture, on the terminal, and in words.
// The picture's colours are Okabe and Ito's, told apart without red
// against green; the data are shaded by how much came.
struct StateLook {
    const char* colour;  // SVG fill
    const char* ansi;    // terminal colour
    char mark;           // terminal character
    const char* meaning;
};

const StateLook& look(CellState c) {
    static const StateLook looks[] = {
        {"#bbbbbb", "\033[90m", ' ', "logger not running"},
        {"#d55e00", "\033[31m", '!', "line lost"},
        {"#e69f00", "\033[33m", '.', "instrument silent"},
        {"#0072b2", "\033[34m", '#', "status packets stored"},
        {"#f4f4f4", "\033[0m", ' ', "not yet"},
    };
    return looks[static_cast<int>(c)];
}

// What happened in a minute, marked in its cell over its state.
struct EventMark {
    const char* colour;
    char mark;  // on the terminal, over the state's character
    const char* meaning;
};
const EventMark FAULT_MARK = {"#f0e442", 'F', "fault"};
const EventMark FRAMING_MARK = {"#000000", 'X', "framing failure"};
const EventMark NOT_STORED_MARK = {"#cc79a7", 'N', "packets not stored"};

std::vector<const EventMark*> marks_of(const MinuteSummary& m) {
    std::vector<const EventMark*> marks;
    if (m.faults > 0) marks.push_back(&FAULT_MARK);
    if (m.framing > 0) marks.push_back(&FRAMING_MARK);
    if (m.not_stored) marks.push_back(&NOT_STORED_MARK);
    return marks;
}

struct HourCounts {
    int status = 0, minutes = 0, faults = 0, framing = 0, losses = 0;
};

HourCounts hour_of(const DaySummary& day, int hour) {
    HourCounts h;
    for (int m = hour * 60; m < hour * 60 + 60; m++) {
        const MinuteSummary& s = day.minutes[m];
        h.status += s.status;
        h.minutes += s.status > 0;
        h.faults += s.faults;
        h.framing += s.framing;
        h.losses += s.losses;
    }
    return h;
}

// Text as XML character data: well-formed whatever the bytes were (a byte
// that is no UTF-8 becomes U+FFFD; control bytes, which XML forbids, are left out).
std::string xml_text(const std::string& raw) {
    std::string out;
    std::string s = with_replacement(raw);
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (static_cast<unsigned char>(c) >= 0x20)
            out += c;
    }
    return out;
}

void print_day(const DaySummary& day, const std::string& dir, std::string* out) {
    if (!day.unreadable.empty()) {
        appendf(out, "kestreport: %s (%s), time zone %s\n\ncannot be read: %s\n", date_text(day.date).c_str(),
                dir.c_str(), zone_name().c_str(), day.unreadable.c_str());
        return;
    }
    if (!day.has_files) {
        appendf(out, "kestreport: %s (%s), time zone %s\n\nno files for this day\n",
                date_text(day.date).c_str(), dir.c_str(), zone_name().c_str());
        return;
    }
    appendf(out, "kestreport: site %s, %s (%s), time zone %s\n\n", day.site.c_str(),
            date_text(day.date).c_str(), dir.c_str(), zone_name().c_str());
    appendf(out, "hour  status  minutes  faults  framing  losses\n");
    for (int hour = 0; hour < 24; hour++) {
        if (hour == day.missing_hour) continue;
        HourCounts h = hour_of(day, hour);
        appendf(out, "%02d    %6d  %4d/60  %6d  %7d  %6d\n", hour, h.status, h.minutes, h.faults, h.framing,
                h.losses);
    }
    if (day.missing_hour >= 0)
        appendf(out, "\nthe clock went forward an hour: hour %02d does not exist\n", day.missing_hour);
    if (day.repeated_hour >= 0)
        appendf(out, "\nthe clock went back an hour: hour %02d is counted twice\n", day.repeated_hour);
    appendf(
        out,
        "\nday: %d status packets (%d without a minute), %d message packets; %d of %d minutes with data\n",
        day.status_packets(), day.status_without_minute, day.message_packets, day.minutes_with_data(),
        day.minutes_had());
    if (day.packets_not_stored > 0) appendf(out, "%ld packets not stored\n", day.packets_not_stored);
    if (day.broken_bytes > 0) appendf(out, "%ld bytes of broken packets skipped\n", day.broken_bytes);
    if (day.unreadable_records > 0) appendf(out, "%ld unreadable records skipped\n", day.unreadable_records);

    std::vector<Gap> gaps = gaps_of(day);
    appendf(out, "\ngaps (%d minutes or more without a status packet):%s\n", GAP_MINUTES_MIN,
            gaps.empty() ? " none" : "");
    for (const Gap& g : gaps)
        appendf(out, "  %s-%s  %d min\n", minute_text(g.from).c_str(), minute_text(g.to).c_str(),
                g.to - g.from + 1);

    appendf(out, "\nfaults:%s\n", day.faults.empty() ? " none" : "");
    for (const auto& [text, f] : day.faults)
        appendf(out, "  %-20s %5d, first %s, last %s\n", text.c_str(), f.count, clock_text(f.first).c_str(),
                clock_text(f.last).c_str());

    appendf(out, "\nlogger events:%s\n", day.events.empty() ? " none" : "");
    for (const Event& e : day.events) appendf(out, "  %s %s\n", clock_text(e.second).c_str(), e.text.c_str());
}

}  // namespace

void print_text(const std::vector<DaySummary>& days, const std::string& dir, std::string* out) {
    for (size_t i = 0; i < days.size(); i++) {
        if (i > 0) appendf(out, "\n");
        print_day(days[i], dir, out);
    }
}

void print_csv(const std::vector<DaySummary>& days, std::string* out) {
    appendf(out, "date,minute,status_packets,fault_records,framing_failures,line_losses,line_lost\n");
    for (const DaySummary& day : days) {
        std::string date = date_text(day.date);
        for (int m = 0; m < MINUTES_A_DAY; m++) {
            const MinuteSummary& s = day.minutes[m];
            if (state_of(day, m) == CellState::Future) break;  // not come yet: no row
            appendf(out, "%s,%s,%d,%d,%d,%d,%d\n", date.c_str(), minute_text(m).c_str(), s.status, s.faults,
                    s.framing, s.losses, state_of(day, m) == CellState::Lost ? 1 : 0);
        }
    }
}

void print_terminal(const std::vector<DaySummary>& days, std::string* out) {
    for (const DaySummary& day : days) {
        appendf(out, "\n%s, site %s: one character a minute\n", date_text(day.date).c_str(),
                day.site.c_str());
        for (int hour = 0; hour < 24; hour++) {
            appendf(out, "%02d ", hour);
            for (int m = hour * 60; m < hour * 60 + 60; m++) {
                const StateLook& l = look(state_of(day, m));
                std::vector<const EventMark*> marks = marks_of(day.minutes[m]);
                appendf(out, "%s%c", l.ansi, marks.empty() ? l.mark : marks.front()->mark);
            }
            appendf(out, "\033[0m\n");
        }
    }
    appendf(out, "   ");
    for (CellState c : {CellState::Data, CellState::Silent, CellState::Lost, CellState::Stopped})
        appendf(out, "%s%c\033[0m %s  ", look(c).ansi, look(c).mark, look(c).meaning);
    for (const EventMark* m : {&FAULT_MARK, &FRAMING_MARK, &NOT_STORED_MARK})
        appendf(out, "%c %s  ", m->mark, m->meaning);
    appendf(out, "\n");
}

std::string summary_header() {
    return "directory                 day         site     status  minutes  faults  framing  losses  gaps\n";
}

void print_summary_row(const DaySummary& day, const std::string& dir, std::string* out) {
    if (!day.unreadable.empty()) {
        appendf(out, "%-25s %s  cannot be read: %s\n", dir.c_str(), date_text(day.date).c_str(),
                day.unreadable.c_str());
        return;
    }
    if (!day.has_files) {
        appendf(out, "%-25s %s  no files for this day\n", dir.c_str(), date_text(day.date).c_str());
        return;
    }
    int faults = 0, framing = 0, losses = 0;
    for (const MinuteSummary& m : day.minutes) {
        faults += m.faults;
        framing += m.framing;
        losses += m.losses;
    }
    appendf(out, "%-25s %s  %-8s %6d  %4d/1440  %6d  %7d  %6d  %4zu\n", dir.c_str(),
            date_text(day.date).c_str(), day.site.c_str(), day.status_packets(), day.minutes_with_data(),
            faults, framing, losses, gaps_of(day).size());
}

// Geometry of the picture, in pixels.
namespace {
constexpr int CELL = 12;    // a minute
constexpr int ROW = 16;     // an hour
constexpr int LEFT = 40;    // hour labels
constexpr int TITLE = 52;   // the title and the day's totals above each day
constexpr int LEGEND = 86;  // below the last day
constexpr int DAY_HEIGHT = TITLE + 24 * ROW + 8;
constexpr int MARK = 5;              // an event's mark, in the cell's corner
constexpr double SHADE_LEAST = 0.3;  // the data colour's share in a minute of few packets

// The data colour, shaded by the minute's packets against the day's usual
// rate: a minute with the usual number or more in full.
std::string data_colour(int count, int usual) {
    double share = usual > 0 ? std::min(1.0, static_cast<double>(count) / usual) : 1.0;
    double f = SHADE_LEAST + (1 - SHADE_LEAST) * share;
    const int data[3] = {0x00, 0x72, 0xb2};
    char colour[8];
    snprintf(colour, sizeof colour, "#%02x%02x%02x", static_cast<int>(255 - (255 - data[0]) * f + 0.5),
             static_cast<int>(255 - (255 - data[1]) * f + 0.5),
             static_cast<int>(255 - (255 - data[2]) * f + 0.5));
    return colour;
}

// A tick or the "now" line is two pixels wide: a white edge keeps it in
// sight on the dark cells and the light ones alike.
constexpr const char* TICK_HALO = "stroke=\"#ffffff\" stroke-width=\"0.75\"";
constexpr const char* NOW_COLOUR = "#cc0066";

const char* tick_colour(EventKind k) {
    return k == EventKind::Start   ? "#009e73"
           : k == EventKind::Stop  ? "#000000"
           : k == EventKind::Ended ? "#cc79a7"
                                   : "#56b4e9";
}

void svg_day(const DaySummary& day, int top, int today, int now, std::string* out) {
    const std::string title = !day.unreadable.empty()
                                  ? date_text(day.date) + ": cannot be read: " + xml_text(day.unreadable)
                              : day.has_files ? "Site " + xml_text(day.site) + ", " + date_text(day.date)
                                              : date_text(day.date) + ": no files for this day";
    appendf(out, "<text x=\"%d\" y=\"%d\" font-size=\"15\" font-weight=\"bold\">%s</text>\n", LEFT, top + 18,
            title.c_str());
    appendf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" fill=\"#555555\">time zone %s</text>\n",
            LEFT + 60 * CELL, top + 18, xml_text(zone_name()).c_str());
    int faults = 0, framing = 0, losses = 0;
    for (const MinuteSummary& m : day.minutes) {
        faults += m.faults;
        framing += m.framing;
        losses += m.losses;
    }
    appendf(
        out,
        "<text x=\"%d\" y=\"%d\" fill=\"#333333\">%d status packets (usually %d a minute), %d of %d minutes "
        "with data; %d faults, %d framing failures, %d line losses, %ld packets not stored</text>\n",
        LEFT, top + 34, day.status_packets(), day.usual_rate(), day.minutes_with_data(), day.minutes_had(),
        faults, framing, losses, day.packets_not_stored);
    for (int m = 0; m < 60; m += 10)
        appendf(out, "<text x=\"%d\" y=\"%d\" fill=\"#555555\">:%02d</text>\n", LEFT + m * CELL,
                top + TITLE - 3, m);
    int usual = day.usual_rate();
    for (int hour = 0; hour < 24; hour++) {
        int y = top + TITLE + hour * ROW;
        appendf(out, "<text x=\"4\" y=\"%d\">%02d:00</text>\n", y + ROW - 4, hour);
        for (int m = 0; m < 60; m++) {
            int minute = hour * 60 + m;
            if (!day.minute_exists(minute)) continue;  // a spring day's missing hour
            const MinuteSummary& s = day.minutes[minute];
            CellState state = state_of(day, minute);
            std::string fill = state == CellState::Data ? data_colour(s.status, usual) : look(state).colour;
            int x = LEFT + m * CELL;
            appendf(out,
                    "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"><title>%02d:%02d %s, %d "
                    "packets</title></rect>\n",
                    x, y, CELL - 1, ROW - 2, fill.c_str(), hour, m, look(state).meaning, s.status);
            int mx = x;
            for (const EventMark* mark : marks_of(s)) {
                appendf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/>\n", mx, y,
                        MARK, MARK, mark->colour);
                mx += MARK;
            }
        }
    }
    // The logger's starts, stops and comments as ticks on their minute.
    for (const Event& e : day.events) {
        if (e.kind == EventKind::Other) continue;
        int minute = e.second / 60;
        int x = LEFT + minute % 60 * CELL, y = top + TITLE + minute / 60 * ROW;
        appendf(
            out,
            "<rect x=\"%d\" y=\"%d\" width=\"2\" height=\"%d\" fill=\"%s\" %s><title>%s %s</title></rect>\n",
            x, y - 1, ROW, tick_colour(e.kind), TICK_HALO, clock_text(e.second).c_str(),
            xml_text(e.text).c_str());
    }
    if (day.date == today) {
        int x = LEFT + now % 60 * CELL + CELL / 2, y = top + TITLE + now / 60 * ROW;
        appendf(
            out,
            "<rect x=\"%d\" y=\"%d\" width=\"2\" height=\"%d\" fill=\"%s\" %s><title>now</title></rect>\n",
            x - 1, y - 2, ROW + 2, NOW_COLOUR, TICK_HALO);
    }
}

void svg_legend(int y, std::string* out) {
    int x = LEFT;
    for (CellState c :
         {CellState::Data, CellState::Silent, CellState::Lost, CellState::Stopped, CellState::Future}) {
        appendf(out,
                "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" stroke=\"#999999\"/>"
                "<text x=\"%d\" y=\"%d\">%s</text>\n",
                x, y, CELL - 1, ROW - 2, look(c).colour, x + CELL + 4, y + ROW - 5, look(c).meaning);
        x += 150;
    }
    x = LEFT;
    y += ROW + 6;
    for (const EventMark* m : {&FAULT_MARK, &FRAMING_MARK, &NOT_STORED_MARK}) {
        appendf(out,
                "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/><text x=\"%d\" "
                "y=\"%d\">%s</text>\n",
                x, y + 2, MARK * 2, MARK * 2, m->colour, x + CELL + 4, y + ROW - 5, m->meaning);
        x += 150;
    }
    struct Tick {
        const char* colour;
        const char* meaning;
    };
    // The ticks on a row of their own.
    x = LEFT;
    y += ROW + 6;
    for (const Tick& k :
         {Tick{tick_colour(EventKind::Start), "start"}, Tick{tick_colour(EventKind::Stop), "stop"},
          Tick{tick_colour(EventKind::Ended), "end of a killed run"},
          Tick{tick_colour(EventKind::Comment), "comment"}, Tick{NOW_COLOUR, "now"}}) {
        appendf(out,
                "<rect x=\"%d\" y=\"%d\" width=\"2\" height=\"%d\" fill=\"%s\" %s/><text x=\"%d\" "
                "y=\"%d\">%s</text>\n",
                x, y, ROW - 2, k.colour, TICK_HALO, x + 6, y + ROW - 5, k.meaning);
        x += 150;
    }
}

}  // namespace

std::string svg_of(const std::vector<DaySummary>& days) {
    std::string out;
    int width = LEFT + 60 * CELL + 20;
    int height = static_cast<int>(days.size()) * DAY_HEIGHT + LEGEND;
    appendf(&out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
            "font-family=\"sans-serif\" font-size=\"11\">\n"
            "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n",
            width, height, width, height, width, height);
    int today, now;
    now_in_zone(&today, &now);
    for (size_t i = 0; i < days.size(); i++)
        svg_day(days[i], static_cast<int>(i) * DAY_HEIGHT, today, now, &out);
    svg_legend(static_cast<int>(days.size()) * DAY_HEIGHT + 10, &out);
    appendf(&out, "</svg>\n");
    return out;
}
