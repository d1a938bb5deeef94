// Bytes from the serial line: packet assembly, framing, stamping and fault
// decoding. The first byte chooses the console switches, so that the raw
// display and the packet echo are exercised too.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz.h"
#include "link/link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fresh_state();
    mon.kesd = data[0] & 1;
    mon.kesrawd = (data[0] >> 1) & 1;
    // What the line delivered; with no line open nothing more is read.
    mon.rxbuf.assign(data + 1, data + size);
    do checkkest();
    while (mon.nchar2 > 0);
    if (mon.pchar2 < 0 || mon.pchar2 >= PACKET_MAX) __builtin_trap();  // the open packet stays in bounds
    return 0;
}
