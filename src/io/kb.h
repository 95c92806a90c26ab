// The KB binary format shared by its writer and its reader: the header's
// fixed bytes, the password scrambling and the index maps of controls.
//
// The password is obfuscation, not security: anyone who reads this code can
// undo the scrambling, and the rest of the file is stored in the clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/memory.h"
#include "table/control.h"

namespace kv::kb {

constexpr unsigned char magic0 = 0x7D, magic1 = 0x00;
constexpr unsigned char version_plain = 9, version_password = 10;
constexpr unsigned char version_oldest = 6;
constexpr unsigned char big_endian = 1, little_endian = 2;
// Header bytes 4 to 9; byte 5 may also be 4 in files of other writers.
constexpr unsigned char type_sizes[6] = {4, 8, 8, 1, 2, 4};
// The largest value the size encoding holds, and the entries an index map
// can point at through its 2-byte indices.
constexpr uint64_t size_limit = 0xFFFFFFFFu;
constexpr size_t index_limit = 65536;

// One stored password byte per character: a Park-Miller minimal-standard
// sequence (Schrage's form, modulus 2^31 - 1) seeded with the length.
struct Scrambler {
    int64_t r;
    explicit Scrambler(size_t length) : r(int64_t(length)) {}
    unsigned char next(unsigned char c)
    {
        r = 48271 * (r % 44488) - 3399 * (r / 44488);
        r = (r + 2147483647) % 2147483647;
        int64_t v = (int64_t(c) + r) % 161;
        return static_cast<unsigned char>(v > 31 ? v + 95 : v);
    }
};

// Calls out(indices, n) with the small-table index of every discrete
// configuration of the control's big table, in table order, a chunk at a
// time.
template <class F> void for_each_control_index(const kv_control_s *c, F &&out)
{
    const kv_table_s *big = _kv_control_big(c), *small = _kv_control_small(c);
    size_t D = big->discrete_count;
    std::vector<size_t, ScratchAlloc<size_t>> stride(D, 0), count(D, 0), state(D, 0);
    for (size_t i = 0; i < D; ++i) {
        count[i] = big->nodes[i]->number_of_states;
        size_t s = 1;
        for (size_t j = small->discrete_count; j-- > 0;) {
            if (small->nodes[j] == big->nodes[i]) {
                stride[i] = s;
                break;
            }
            s *= small->nodes[j]->number_of_states;
        }
    }
    constexpr size_t chunk = 1 << 14;
    std::vector<uint32_t, ScratchAlloc<uint32_t>> buffer(chunk);
    size_t used = 0;
    if (D == 0) {
        buffer[0] = 0;
        out(buffer.data(), size_t(1));
        return;
    }
    size_t base = 0, inner = count[D - 1], step = stride[D - 1];
    for (;;) {
        for (size_t k = 0, index = base; k < inner; ++k, index += step) {
            buffer[used++] = uint32_t(index);
            if (used == chunk) {
                out(buffer.data(), used);
                used = 0;
            }
        }
        size_t i = D - 1;
        while (i-- > 0) {
            base += stride[i];
            if (++state[i] < count[i])
                break;
            base -= stride[i] * count[i];
            state[i] = 0;
        }
        if (i == size_t(-1))
            break;
    }
    if (used)
        out(buffer.data(), used);
}

} // namespace kv::kb
