// What kestreport prints or draws of a summary: the text report, one CSV row
// per minute, a coloured view for the terminal and the SVG picture.
#include <cstdarg>
#include <cstdio>

#include "report.h"

namespace {

// Appends printf-formatted text.
void add(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string* out, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0)
        out->append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

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

// What a minute shows in the pictures, the worst of what happened in it.
enum class Cell { Nothing, Packet, Fault, Framing, Lost };

Cell cell_of(const MinuteSummary& m) {
    if (m.lost || m.losses > 0) return Cell::Lost;
    if (m.framing > 0) return Cell::Framing;
    if (m.faults > 0) return Cell::Fault;
    if (m.status > 0) return Cell::Packet;
    return Cell::Nothing;
}

struct CellLook {
    const char* colour;  // SVG fill
    const char* ansi;    // terminal colour
    char mark;           // terminal character
    const char* meaning;
};

const CellLook& look(Cell c) {
    static const CellLook looks[] = {
        {"#e4e4e4", "\033[90m", '.', "nothing"},   {"#2e9e44", "\033[32m", '#', "status packet stored"},
        {"#f0a020", "\033[33m", 'F', "fault"},     {"#7b3fbf", "\033[35m", 'X', "framing failure"},
        {"#d62828", "\033[31m", '!', "line lost"},
    };
    return looks[static_cast<int>(c)];
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

std::string xml_text(const std::string& s) {
    std::string out;
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
    add(out, "kestreport: site %s, %s (%s)\n\n", day.site.c_str(), date_text(day.date).c_str(), dir.c_str());
    add(out, "hour  status  minutes  faults  framing  losses\n");
    for (int hour = 0; hour < 24; hour++) {
        HourCounts h = hour_of(day, hour);
        add(out, "%02d    %6d  %4d/60  %6d  %7d  %6d\n", hour, h.status, h.minutes, h.faults, h.framing,
            h.losses);
    }
    add(out,
        "\nday: %d status packets (%d without a minute), %d message packets; %d of 1440 minutes with data\n",
        day.status_packets(), day.status_without_minute, day.message_packets, day.minutes_with_data());

    std::vector<Gap> gaps = gaps_of(day);
    add(out, "\ngaps (%d minutes or more without a status packet):%s\n", GAP_MINUTES_MIN,
        gaps.empty() ? " none" : "");
    for (const Gap& g : gaps)
        add(out, "  %s-%s  %d min\n", minute_text(g.from).c_str(), minute_text(g.to).c_str(),
            g.to - g.from + 1);

    add(out, "\nfaults:%s\n", day.faults.empty() ? " none" : "");
    for (const auto& [text, f] : day.faults)
        add(out, "  %-20s %5d, first %s, last %s\n", text.c_str(), f.count, clock_text(f.first).c_str(),
            clock_text(f.last).c_str());

    add(out, "\nlogger events:%s\n", day.events.empty() ? " none" : "");
    for (const Event& e : day.events) add(out, "  %s %s\n", clock_text(e.second).c_str(), e.text.c_str());
}

}  // namespace

void print_text(const std::vector<DaySummary>& days, const std::string& dir, std::string* out) {
    for (size_t i = 0; i < days.size(); i++) {
        if (i > 0) add(out, "\n");
        print_day(days[i], dir, out);
    }
}

void print_csv(const std::vector<DaySummary>& days, std::string* out) {
    add(out, "date,minute,status_packets,fault_records,framing_failures,line_losses,line_lost\n");
    for (const DaySummary& day : days) {
        std::string date = date_text(day.date);
        for (int m = 0; m < MINUTES_A_DAY; m++) {
            const MinuteSummary& s = day.minutes[m];
            add(out, "%s,%s,%d,%d,%d,%d,%d\n", date.c_str(), minute_text(m).c_str(), s.status, s.faults,
                s.framing, s.losses, s.lost ? 1 : 0);
        }
    }
}

void print_terminal(const std::vector<DaySummary>& days, std::string* out) {
    for (const DaySummary& day : days) {
        add(out, "\n%s, site %s: one character a minute\n", date_text(day.date).c_str(), day.site.c_str());
        for (int hour = 0; hour < 24; hour++) {
            add(out, "%02d ", hour);
            for (int m = hour * 60; m < hour * 60 + 60; m++) {
                const CellLook& l = look(cell_of(day.minutes[m]));
                add(out, "%s%c", l.ansi, l.mark);
            }
            add(out, "\033[0m\n");
        }
    }
    add(out, "   ");
    for (Cell c : {Cell::Packet, Cell::Nothing, Cell::Fault, Cell::Framing, Cell::Lost})
        add(out, "%s%c\033[0m %s  ", look(c).ansi, look(c).mark, look(c).meaning);
    add(out, "\n");
}

std::string summary_header() {
    return "directory                 day         site     status  minutes  faults  framing  losses  gaps\n";
}

void print_summary_row(const DaySummary& day, const std::string& dir, std::string* out) {
    int faults = 0, framing = 0, losses = 0;
    for (const MinuteSummary& m : day.minutes) {
        faults += m.faults;
        framing += m.framing;
        losses += m.losses;
    }
    add(out, "%-25s %s  %-8s %6d  %4d/1440  %6d  %7d  %6d  %4zu\n", dir.c_str(), date_text(day.date).c_str(),
        day.site.c_str(), day.status_packets(), day.minutes_with_data(), faults, framing, losses,
        gaps_of(day).size());
}

// Geometry of the picture, in pixels.
namespace {
constexpr int CELL = 12;    // a minute
constexpr int ROW = 16;     // an hour
constexpr int LEFT = 40;    // hour labels
constexpr int TITLE = 36;   // the title above each day
constexpr int LEGEND = 40;  // below the last day
constexpr int DAY_HEIGHT = TITLE + 24 * ROW + 8;
}  // namespace

std::string svg_of(const std::vector<DaySummary>& days) {
    std::string out;
    int width = LEFT + 60 * CELL + 20;
    int height = static_cast<int>(days.size()) * DAY_HEIGHT + LEGEND;
    add(&out,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
        "font-family=\"sans-serif\" font-size=\"11\">\n"
        "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n",
        width, height, width, height, width, height);
    for (size_t i = 0; i < days.size(); i++) {
        const DaySummary& day = days[i];
        int top = static_cast<int>(i) * DAY_HEIGHT;
        add(&out, "<text x=\"%d\" y=\"%d\" font-size=\"15\" font-weight=\"bold\">Site %s, %s</text>\n", LEFT,
            top + 22, xml_text(day.site).c_str(), date_text(day.date).c_str());
        for (int m = 0; m < 60; m += 10)
            add(&out, "<text x=\"%d\" y=\"%d\" fill=\"#555555\">:%02d</text>\n", LEFT + m * CELL,
                top + TITLE - 2, m);
        for (int hour = 0; hour < 24; hour++) {
            int y = top + TITLE + hour * ROW;
            add(&out, "<text x=\"4\" y=\"%d\">%02d:00</text>\n", y + ROW - 4, hour);
            for (int m = 0; m < 60; m++) {
                const MinuteSummary& s = day.minutes[hour * 60 + m];
                add(&out,
                    "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"><title>%02d:%02d %d "
                    "packets</title></rect>\n",
                    LEFT + m * CELL, y, CELL - 1, ROW - 2, look(cell_of(s)).colour, hour, m, s.status);
            }
        }
    }
    int y = static_cast<int>(days.size()) * DAY_HEIGHT + 12;
    int x = LEFT;
    for (Cell c : {Cell::Packet, Cell::Nothing, Cell::Fault, Cell::Framing, Cell::Lost}) {
        add(&out,
            "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/><text x=\"%d\" "
            "y=\"%d\">%s</text>\n",
            x, y, CELL - 1, ROW - 2, look(c).colour, x + CELL + 4, y + ROW - 5, look(c).meaning);
        x += 150;
    }
    add(&out, "</svg>\n");
    return out;
}
