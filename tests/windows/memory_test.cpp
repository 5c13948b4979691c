// The program's own memset and memcpy, which replace the C runtime's in
// sprayl.exe. Linked into this test program, they replace them here as well.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// Called through pointers, so that the compiler cannot expand the calls
// inline and the linked routines are what runs.
void* (*volatile fill_bytes)(void*, int, size_t) = memset;
void* (*volatile copy_bytes)(void*, const void*, size_t) = memcpy;

const size_t lengths[] = {0, 1, 3, 4, 5, 16, 17, 4096 + 7};
const size_t guard = 8;

TEST(Memory, MemsetFillsExactlyTheRangeWithTheLowByteOfTheValue) {
    for (size_t length : lengths) {
        for (size_t offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE(testing::Message() << "length " << length << " offset " << offset);
            std::vector<unsigned char> bytes(guard + offset + length + guard, 0x5A);
            unsigned char* start = bytes.data() + guard + offset;
            EXPECT_EQ(fill_bytes(start, 0x1A7, length), start);
            for (size_t i = 0; i < bytes.size(); ++i) {
                bool inside = i >= guard + offset && i < guard + offset + length;
                ASSERT_EQ(bytes[i], inside ? 0xA7 : 0x5A) << "byte " << i;
            }
        }
    }
}

TEST(Memory, MemcpyCopiesExactlyTheRange) {
    for (size_t length : lengths) {
        for (size_t offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE(testing::Message() << "length " << length << " offset " << offset);
            std::vector<unsigned char> source(length + 3);
            for (size_t i = 0; i < source.size(); ++i) {
                source[i] = static_cast<unsigned char>(i * 7 + 1);
            }
            std::vector<unsigned char> bytes(guard + offset + length + guard, 0x5A);
            unsigned char* start = bytes.data() + guard + offset;
            EXPECT_EQ(copy_bytes(start, source.data() + 3 - offset % 3, length), start);
            for (size_t i = 0; i < bytes.size(); ++i) {
                bool inside = i >= guard + offset && i < guard + offset + length;
                unsigned char expected =
                    inside ? source[3 - offset % 3 + (i - guard - offset)] : 0x5A;
                ASSERT_EQ(bytes[i], expected) << "byte " << i;
            }
        }
    }
}

} // namespace
