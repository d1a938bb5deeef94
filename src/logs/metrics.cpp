// The metrics file for monitoring systems: Prometheus's text exposition
// format, for node_exporter's textfile collector, rewritten whole at each
// change of minute.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/core.h"
#include "logs/logs.h"

namespace {

struct Exposition {
    std::string text;
    std::string labels;  // site and device, carried by every sample

    void family(const char* name, const char* type, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char* name, const char* extra_label, long long value) {
        char number[32];
        snprintf(number, sizeof number, "%lld", value);
        text += std::string(name) + "{" + labels + (extra_label ? std::string(",") + extra_label : "") +
                "} " + number + "\n";
    }
    void metric(const char* name, const char* type, const char* help, long long value) {
        family(name, type, help);
        sample(name, nullptr, value);
    }
};

std::string exposition() {
    Exposition e;
    e.labels = "site=\"" + label_value(mon.site) + "\",device=\"" + label_value(mon.SERIAL_PORT) + "\"";
    e.family("kestlog_packets_total", "counter", "Good packets stored since the logger started, by kind.");
    e.sample("kestlog_packets_total", "kind=\"status\"", mon.packets_status);
    e.sample("kestlog_packets_total", "kind=\"message\"", mon.packets_message);
    e.metric("kestlog_framing_failures_total", "counter", "Frames not between a start byte and an EOT.",
             mon.framing_failures);
    e.metric("kestlog_fault_records_total", "counter", "Status packets with a fault word other than 0000.",
             mon.fault_records);
    e.family("kestlog_fault_records_by_bit_total", "counter", "Fault records with this fault bit set.");
    for (int bit = 15; bit >= 0; bit--) {
        char label[32];
        snprintf(label, sizeof label, "bit=\"0x%04X\"", 1u << bit);
        e.sample("kestlog_fault_records_by_bit_total", label, mon.fault_bits[bit]);
    }
    e.metric("kestlog_line_losses_total", "counter", "Times the serial line was lost.", mon.line_losses);
    e.metric("kestlog_storage_failures_total", "counter", "Packets and records that could not be stored.",
             mon.storage_failure_count);
    e.family("kestlog_packets_lost_total", "counter", "Good packets that could not be stored, by why.");
    e.sample("kestlog_packets_lost_total", "reason=\"storage\"", mon.packets_lost);
    e.family("kestlog_alert_mails_total", "counter", "Alert e-mails tried, by how the mail command ended.");
    e.sample("kestlog_alert_mails_total", "result=\"sent\"", mon.mails_sent);
    e.sample("kestlog_alert_mails_total", "result=\"failed\"", mon.mails_failed);
    e.sample("kestlog_alert_mails_total", "result=\"timed_out\"", mon.mails_timed_out);
    e.metric("kestlog_last_packet_timestamp_seconds", "gauge",
             "When the last good packet was stored (0: none since start).", mon.last_good_time);
    e.metric("kestlog_line_up", "gauge", "1 while the serial line is open, 0 while it is lost.",
             mon.fhR2 >= 0);
    // Absent where the kernel cannot be asked: no value rather than a guess.
    if (mon.clock_sync != ClockSync::Unknown)
        e.metric("kestlog_clock_synchronised", "gauge", "1 while the system clock is synchronised, else 0.",
                 mon.clock_sync == ClockSync::Synchronised);
    e.metric("kestlog_start_time_seconds", "gauge", "When the logger started.", mon.start_time);
    e.family("kestlog_build_info", "gauge", "The logger's version.");
    e.sample("kestlog_build_info", ("version=\"" + label_value(KESTLOG_VERSION) + "\"").c_str(), 1);
    return e.text;
}

}  // namespace

bool write_metrics() {
    if (mon.metrics_file[0] == '\0') return true;
    // Written beside it under a name the collector does not read (it takes
    // *.prom only) and no one can foresee (to plant a link at), then renamed
    // over it: never seen half-written.
    char tmp[TEXT_MAX + 16];
    std::string text = exposition();
    int fd = make_temporary(mon.metrics_file, tmp, sizeof tmp);
    // Another service reads it, whatever the logger's umask. Synced before
    // the rename: after a power cut the name holds a whole file.
    bool ok = fd >= 0 && fchmod(fd, 0644) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp, mon.metrics_file) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        if (fd >= 0) unlink(tmp);
        report("%s: %s\n", fd >= 0 ? mon.metrics_file : tmp, strerror(err));
    }
    return ok;
}
