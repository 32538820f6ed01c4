// Loads in a stated byte order and the first difference of two stretches: the same on a
// little-endian and a big-endian machine (CI runs this on s390x too).
#include "common/byte_order.h"

#include <gtest/gtest.h>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

TEST(ByteOrderTest, LoadsReadTheirStatedOrder)
{
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
    EXPECT_EQ(loadLe32(bytes), 0x04030201u);
    EXPECT_EQ(loadLe32(bytes + 4), 0x88070605u);
    EXPECT_EQ(loadLe64(bytes), 0x8807060504030201ull);
    EXPECT_EQ(loadBe32(bytes), 0x01020304u);
    EXPECT_EQ(loadBe32(bytes + 4), 0x05060788u);
}

TEST(ByteOrderTest, EqualPrefixStopsAtTheFirstDifferenceWhereverItIs)
{
    // Every position of the first difference inside and across the 8-byte words, with later
    // differences that a compare in the machine's own order would find first on some machines.
    for (uint32_t length : {0u, 1u, 7u, 8u, 9u, 16u, 23u, 40u}) {
        for (uint32_t first = 0; first <= length; ++first) {
            SCOPED_TRACE(std::to_string(length) + " " + std::to_string(first));
            std::vector<uint8_t> a(length + 1, 0x5A);
            std::vector<uint8_t> b = a;
            if (first < length)
                b[first] = 0x5B;
            for (uint32_t later = first + 1; later < length; later += 3)
                b[later] = 0xA5;
            EXPECT_EQ(equalPrefix(a.data(), b.data(), length), first);
        }
    }
}
