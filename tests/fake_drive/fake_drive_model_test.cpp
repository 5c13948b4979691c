// The fake drive model where no other test reaches it: pieces of sectors,
// which a file under FUSE may be asked for (the probe and a loop device ask
// for whole sectors only). A piece is read and written as its whole sectors
// would be, whatever the drive does past what it holds.
#include "fake_drive_model.h"
#include "table_row_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

struct PieceCase {
    FakeDriveSetup drive;
    uint64_t offset; // of the piece
    size_t length;
    size_t readable; // bytes of the piece a read gives before it fails: the held ones
};

// clang-format off
const PieceCase piece_cases[] = {
    {{"genuine, inside a sector", 4 * MiB, 4 * MiB, 0, fake_genuine, 512, 0, content_user}, 1000, 20, 20},
    {{"wraps, across sectors", 8 * MiB, 2 * MiB, MiB, fake_wraps, 512, 0, content_user},
     3 * MiB + 300, 3000, 3000},
    {{"drops, 4 KiB sectors, cached", 8 * MiB, 2 * MiB, 0, fake_drops_zeros, 4096, 64 * 1024, content_zeros},
     3 * MiB + 100, 9000, 9000},
    {{"drops, old data", 8 * MiB, 2 * MiB, 0, fake_drops_old, 512, 0, content_other_run},
     2 * MiB - 700, 2000, 2000},
    {{"mirrors", 8 * MiB, 2 * MiB, 0, fake_mirrors, 512, 0, content_user}, 2 * MiB - 700, 2000, 2000},
    {{"fails reads past what it holds", 8 * MiB, 2 * MiB, 0, fake_fails_reads, 512, 0, content_user},
     2 * MiB - 700, 2000, 700},
};
// clang-format on

std::vector<unsigned char> bytes_from(unsigned char first, size_t length) {
    std::vector<unsigned char> bytes(length);
    for (size_t k = 0; k < length; ++k) {
        bytes[k] = static_cast<unsigned char>(first + 7 * k);
    }
    return bytes;
}

void PrintTo(const PieceCase& c, std::ostream* out) {
    *out << c.drive.name;
}

class PieceTable : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PieceTable, APieceIsReadAndWrittenAsItsWholeSectors) {
    const PieceCase& c = GetParam();
    const uint32_t sector = c.drive.sector;
    const uint64_t start = c.offset / sector * sector;
    const uint64_t end = (c.offset + c.length + sector - 1) / sector * sector;
    const size_t whole = static_cast<size_t>(end - start);
    const size_t skip = static_cast<size_t>(c.offset - start);
    std::vector<unsigned char> before = bytes_from(1, whole);
    std::vector<unsigned char> piece = bytes_from(200, c.length);
    std::vector<unsigned char> patched = before;
    std::copy(piece.begin(), piece.end(), patched.begin() + static_cast<ptrdiff_t>(skip));
    // One drive given the piece on its own, one given its whole sectors with
    // the piece in them.
    static FakeDrive by_piece, by_sectors;
    make_fake_drive(&by_piece, &c.drive);
    make_fake_drive(&by_sectors, &c.drive);
    ASSERT_TRUE(write_fake_drive(&by_piece, start, whole, before.data()));
    ASSERT_TRUE(write_fake_drive(&by_piece, c.offset, c.length, piece.data()));
    ASSERT_TRUE(write_fake_drive(&by_sectors, start, whole, patched.data()));
    std::vector<unsigned char> seen(whole), expected(whole);
    size_t read = read_fake_drive(&by_piece, start, whole, seen.data());
    EXPECT_EQ(read, read_fake_drive(&by_sectors, start, whole, expected.data()));
    EXPECT_EQ(read, c.readable < c.length ? skip + c.readable : whole);
    EXPECT_TRUE(
        std::equal(seen.begin(), seen.begin() + static_cast<ptrdiff_t>(read), expected.begin()));
    // The piece alone reads as that part of its sectors.
    std::vector<unsigned char> part(c.length);
    EXPECT_EQ(read_fake_drive(&by_piece, c.offset, c.length, part.data()), c.readable);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + static_cast<ptrdiff_t>(c.readable),
                           expected.begin() + static_cast<ptrdiff_t>(skip)));
}

INSTANTIATE_TEST_SUITE_P(FakeDrives, PieceTable, ::testing::ValuesIn(piece_cases),
                         [](const ::testing::TestParamInfo<PieceCase>& row) {
                             return table_row_name(row.param.drive.name);
                         });

} // namespace
