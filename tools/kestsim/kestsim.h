// kestsim: a stand-in for the kest sensor. This header holds what the
// simulator sends; sending and timing live in main.cpp.
#pragma once

#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "formats/formats.h"

// A status packet: SOH, 89 characters of fixed-width fields, EOT; the fault
// word its last field.
constexpr size_t SIM_STATUS_LEN = FAULT_MIN_PACKET;
// An oversized frame: well past the logger's 8192-byte packet buffer.
constexpr size_t SIM_OVERSIZE_LEN = 9000;

// One set of readings, as the instrument reports them in a status packet.
struct Reading {
    int visibility_m;    // 0 .. 99999
    double precip_mmh;   // precipitation intensity, 0 .. 99.99 mm/h
    double air_temp_c;   // -99.9 .. +99.9
    double gunn_v;       // Gunn diode voltage
    int gunn_ma;         // Gunn diode current, 0 .. 999 mA
    double heater_v;     // window heater voltage
    double heater_a;     // window heater current, 0 .. 9.99 A
    double supply_5v;    // 0 .. 9.99
    double supply_p12v;  // 0 .. 99.99
    double supply_m12v;  // -99.99 .. 0
    int dc_offset_mv;    // -999 .. +999
};

// A fair-weather reading with healthy supplies.
Reading first_reading();
// Moves the weather on by one small random step.
void next_reading(Reading& r, std::mt19937& rng);
// The reading as an instrument with these fault bits would report it.
Reading with_faults(Reading r, unsigned fault);
// WMO 4680 present-weather code implied by the reading.
int weather_code(const Reading& r);

// The status packet for this reading, instrument clock and fault word
// (four characters, sent as given).
std::string status_packet(int sensor, const struct tm& clock, const Reading& r, const std::string& fault);
// An STX packet: the instrument's n-th event message.
std::string message_packet(int sensor, const struct tm& clock, int n);
// The n-th broken frame: an EOT with no start byte for even n, an oversized
// frame with no EOT for odd n. Each costs the logger one framing failure.
std::string broken_frame(int n);
// n bytes of line noise: never a start byte or an EOT, so that the logger
// drops them silently between packets.
std::string line_noise(size_t n, std::mt19937& rng);

// Fault words from "0000,0029,8000": each exactly four characters.
// Returns false on an empty list or a word of another length.
bool parse_fault_list(const std::string& text, std::vector<std::string>* words);
// The packets (start byte through EOT) in a recorded status file, in order;
// bytes between packets and an unfinished last packet are skipped.
std::vector<std::string> recorded_packets(const std::string& file_bytes);
