// Fuzz target: MAD replies as the device layer unpacks them.
//
// Input: one selector byte (which buffer), one length byte, then the reply's data area. The reply
// is copied into the buffer (cut to its size) and unpacked as the device layer does: the register
// frame into a heap image of exactly the length asked for (length byte x 4, up to 1020 bytes, of
// which at most the 1004 the frame holds are filled), the general information's capability
// bits, and the configuration-space dwords of both modes. Nothing may be read or written past either side.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "MadBuffer.h"

using namespace zrv_core;

namespace {

void trap_unless(bool ok)
{
    if (!ok) abort();
}

void fill(MadBuffer& buffer, const uint8_t* data, size_t size)
{
    memcpy(buffer.GetBuffer(), data, size < buffer.GetSize() ? size : buffer.GetSize());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const int which = data[0] % 3;
    const uint32_t length = data[1] * 4u;
    data += 2;
    size -= 2;
    switch (which) {
    case 0: {
        AccessRegisterMadBuffer frame;
        fill(frame, data, size);
        std::vector<uint8_t> image(length ? length : 1, 0xA5);
        const int status = frame.Deserialize(reinterpret_cast<uint32_t*>(image.data()), length);
        trap_unless(status >= 0 && status < 128);
        std::vector<uint32_t> words(4);
        frame.GetBufferData(words.data(), 4, 0);
        trap_unless(!frame.GetBufferData(words.data(), 4, 254));
        break;
    }
    case 1: {
        GmpMadBuffer info;
        fill(info, data, size);
        info.FixEndianess();
        for (uint32_t word = 0; word < 60; ++word)
            trap_unless(info.ExtractFromBuffer(word, length % 40) <= 1);
        break;
    }
    default: {
        ConfigSpaceAccessBuffer packet;
        fill(packet, data, size);
        packet.SetMode(length & 4 ? 2 : 0);
        uint32_t sum = 0;
        for (uint32_t k = 0; k < 64; ++k) sum += packet.GetData(k);
        (void)sum;
        break;
    }
    }
    return 0;
}
