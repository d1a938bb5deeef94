// The simulator's packets. Status packet layout (0-based positions):
//
//   0      SOH
//   1-5    sensor id, "K" and four digits
//   7-18   instrument clock, YYMMDD hh:mm (UTC)
//   20-24  visibility, m                     %05d
//   26-31  precipitation intensity, mm/h     %6.2f
//   33-34  present weather, WMO 4680 code    %02d
//   36-40  air temperature, deg C            %+5.1f
//   42-46  Gunn diode voltage, V             %5.2f
//   48-50  Gunn diode current, mA            %03d
//   52-56  window heater voltage, V          %5.2f
//   58-61  window heater current, A          %4.2f
//   63-66  +5 V supply, V                    %4.2f
//   68-72  +12 V supply, V                   %5.2f
//   74-79  -12 V supply, V                   %+6.2f
//   81-84  DC offset, mV                     %+04d
//   86-89  fault word, four hexadecimal digits
//   90     EOT
//
// Fields are separated by single blanks; every value is clamped to its range
// so that each field keeps its width.
#include <algorithm>
#include <cstdio>

#include "kestsim.h"

namespace {

double clamp(double v, double lo, double hi) { return std::min(std::max(v, lo), hi); }
int clamp(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

Reading clamped(Reading r) {
    r.visibility_m = clamp(r.visibility_m, 0, 99999);
    r.precip_mmh = clamp(r.precip_mmh, 0.0, 99.99);
    r.air_temp_c = clamp(r.air_temp_c, -99.9, 99.9);
    r.gunn_v = clamp(r.gunn_v, 0.0, 99.99);
    r.gunn_ma = clamp(r.gunn_ma, 0, 999);
    r.heater_v = clamp(r.heater_v, 0.0, 99.99);
    r.heater_a = clamp(r.heater_a, 0.0, 9.99);
    r.supply_5v = clamp(r.supply_5v, 0.0, 9.99);
    r.supply_p12v = clamp(r.supply_p12v, 0.0, 99.99);
    r.supply_m12v = clamp(r.supply_m12v, -99.99, 0.0);
    r.dc_offset_mv = clamp(r.dc_offset_mv, -999, 999);
    return r;
}

std::string clock_text(const struct tm& clock, const char* format) {
    char text[32];
    size_t n = strftime(text, sizeof text, format, &clock);
    return std::string(text, n);
}

}  // namespace

Reading first_reading() { return Reading{15000, 0.0, 12.5, 8.05, 120, 24.0, 1.20, 5.01, 12.02, -11.98, 3}; }

void next_reading(Reading& r, std::mt19937& rng) {
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    // Showers start and stop now and then; visibility follows the rain.
    if (r.precip_mmh > 0.0) {
        r.precip_mmh = chance(rng) < 0.05 ? 0.0 : r.precip_mmh + 0.3 * step(rng);
    } else if (chance(rng) < 0.02) {
        r.precip_mmh = 0.5;
    }
    double clear = r.precip_mmh > 0.0 ? 3000.0 / (1.0 + r.precip_mmh) : 15000.0;
    r.visibility_m += static_cast<int>(0.1 * (clear - r.visibility_m) + 200.0 * step(rng));
    r.air_temp_c += 0.05 * step(rng);
    r.gunn_v = 8.05 + 0.01 * step(rng);
    r.gunn_ma = 120 + static_cast<int>(step(rng));
    r.heater_a = 1.20 + 0.01 * step(rng);
    r.dc_offset_mv = 3 + static_cast<int>(step(rng));
    r = clamped(r);
    if (r.precip_mmh < 0.01) r.precip_mmh = 0.0;
}

Reading with_faults(Reading r, unsigned fault) {
    if (fault & 0x0400) r.gunn_ma = 60;
    if (fault & 0x0080) r.heater_v = 18.5;
    if (fault & 0x0040) r.gunn_v = 6.10;
    if (fault & 0x0020) r.supply_m12v = -10.20;
    if (fault & 0x0010) r.supply_p12v = 10.85;
    if (fault & 0x0008) r.supply_5v = 4.52;
    if (fault & 0x0004) r.heater_a = 0.15;
    if (fault & 0x0001) r.dc_offset_mv = 250;
    return r;
}

int weather_code(const Reading& r) {
    if (r.precip_mmh > 0.0) {
        if (r.air_temp_c < 0.0) return 71;  // snow
        if (r.precip_mmh < 2.5) return 61;  // rain, slight
        return r.precip_mmh < 10.0 ? 62 : 63;
    }
    if (r.visibility_m < 1000) return 30;   // fog
    return r.visibility_m < 5000 ? 10 : 0;  // mist, clear
}

std::string status_packet(int sensor, const struct tm& clock, const Reading& reading,
                          const std::string& fault) {
    Reading r = clamped(reading);
    char text[SIM_STATUS_LEN + 32];
    // The clock and the fault word go where the logger looks for them.
    const std::string clock_field(PACKET_STAMP_LEN, ' '), fault_field(FAULT_LEN, ' ');
    int n = snprintf(text, sizeof text,
                     "%cK%04d %s %05d %6.2f %02d %+5.1f %5.2f %03d %5.2f %4.2f %4.2f %5.2f %+6.2f %+04d %s%c",
                     SOH, sensor % 10000, clock_field.c_str(), r.visibility_m, r.precip_mmh, weather_code(r),
                     r.air_temp_c, r.gunn_v, r.gunn_ma, r.heater_v, r.heater_a, r.supply_5v, r.supply_p12v,
                     r.supply_m12v, r.dc_offset_mv, fault_field.c_str(), EOT);
    std::string packet(text, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof text) - 1)));
    packet.replace(STAMP_POS, PACKET_STAMP_LEN,
                   clock_text(clock, "%y%m%d %H:%M").substr(0, PACKET_STAMP_LEN));
    packet.replace(FAULT_POS, FAULT_LEN, (fault + std::string(FAULT_LEN, ' ')).substr(0, FAULT_LEN));
    return packet;
}

std::string message_packet(int sensor, const struct tm& clock, int n) {
    static const char* const events[] = {"SELFTEST OK", "HEATER ON", "WINDOW CHECK OK", "HEATER OFF",
                                         "CAL 0.998"};
    char text[128];
    int len = snprintf(text, sizeof text, "%cK%04d %s MSG %04d %s%c", STX, sensor % 10000,
                       clock_text(clock, "%y%m%d %H:%M:%S").c_str(), n % 10000, events[n % 5], EOT);
    return std::string(text, static_cast<size_t>(std::clamp(len, 0, static_cast<int>(sizeof text) - 1)));
}

std::string broken_frame(int n) {
    if (n % 2 == 0) return std::string(1, static_cast<char>(EOT));
    std::string frame(1, static_cast<char>(SOH));
    frame += "K0000 OVERRUN ";
    while (frame.size() < SIM_OVERSIZE_LEN) frame += static_cast<char>('A' + frame.size() % 26);
    return frame;
}

std::string line_noise(size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string noise;
    while (noise.size() < n) {
        int c = byte(rng);
        if (c != SOH && c != STX && c != EOT) noise += static_cast<char>(c);
    }
    return noise;
}

bool parse_fault_list(const std::string& text, std::vector<std::string>* words) {
    words->clear();
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string word = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (word.size() != 4) return false;
        words->push_back(word);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::vector<std::string> recorded_packets(const std::string& bytes) {
    std::vector<std::string> packets;
    size_t at = 0;
    const std::string starts = {static_cast<char>(SOH), static_cast<char>(STX)};
    while ((at = bytes.find_first_of(starts, at)) != std::string::npos) {
        size_t end = bytes.find(static_cast<char>(EOT), at);
        if (end == std::string::npos) break;
        packets.push_back(bytes.substr(at, end - at + 1));
        at = end + 1;
    }
    return packets;
}
