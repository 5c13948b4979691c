// A drive for the tests and the probe's benchmark that may claim more than
// it holds: what it claims and holds, what becomes of the addresses past
// what it holds, a cache of its latest writes, a slow area and failures at
// chosen calls, over storage kept sparse (a claim of 2 TiB costs only what
// is written). A fake keeps its real storage apart from the addresses it
// claims, so a test can tell byte for byte whether the user's data
// survived.
//
// One description of plain data (FakeDriveSetup, a table row) and free
// functions over a drive made from it. The probe's tests serve it as a
// ProbeDevice (probe/tests/fake_drive.h), the program fake_drive as a file
// under FUSE (fake_drive_fuse.cpp) to put under a loop device.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

// What becomes of an address past what the drive holds.
enum FakeBehaviour {
    fake_genuine,     // holds every address it claims
    fake_wraps,       // past real: address a reaches low + (a - low) mod (real - low)
    fake_drops_zeros, // past real: writes lost, reads give zeros
    fake_drops_ones,  // past real: writes lost, reads give FF
    fake_drops_old,   // past real: writes lost, reads give what was there before
    fake_drops_other, // past real: writes lost, reads give new garbage each time
    fake_fails_reads, // past real: writes lost, reads fail
    fake_mirrors,     // past real: writes lost, reads give the storage at a mod real
};

// What every address held before the drive was first written.
enum FakeContent {
    content_user,      // the user's files: bytes with no pattern
    content_zeros,     // a new drive
    content_other_run, // an earlier fill by sprayl: each 16 KiB a run of its own
};

// The time an access takes: access_seconds, and its bytes at
// bytes_per_second (0: no time for the bytes).
struct FakeSpeed {
    double access_seconds;
    double bytes_per_second;
};

// A USB stick, on the simulated clock of the probe's tests.
constexpr FakeSpeed usb_stick_reads = {0.0003, 40e6};
constexpr FakeSpeed usb_stick_writes = {0.0003, 20e6};
// A worn area: a millisecond an access and one more each 4 KiB.
constexpr FakeSpeed worn_area = {0.001, 4096e3};
// The machine's own time, nothing added.
constexpr FakeSpeed no_time = {0, 0};

// A fake drive, as a table row describes it: the first eight fields always,
// the others where a row needs them. A drive may map its storage in units
// larger than the sectors it reports (flash drives map whole blocks of
// 64 KiB to a few MiB): sector is the unit it maps, logical_sector the
// sector size it reports.
struct FakeDriveSetup {
    const char* name;
    uint64_t claimed; // bytes it says it holds
    uint64_t real;    // bytes it holds, a multiple of sector
    uint64_t low;     // fake_wraps: addresses below it are never reached by others
    FakeBehaviour behaviour;
    uint32_t sector; // the unit of its mapping, its cache and its read errors
    uint64_t cache;  // bytes of the latest writes that reads answer from
    FakeContent content;
    uint32_t logical_sector = 0; // the sector size it reports, dividing sector; 0: sector
    // An unstable drive: from the write with index real_changes_at_write
    // on (-1: never), it holds real_later bytes rather than real, and
    // what it did to the addresses past real it does past real_later.
    uint64_t real_later = 0;
    int64_t real_changes_at_write = -1;
    FakeSpeed read_speed = usb_stick_reads;
    FakeSpeed write_speed = usb_stick_writes;
    // Accesses that touch [slow_start, slow_end) take slow_speed's time.
    uint64_t slow_start = 0;
    uint64_t slow_end = 0;
    FakeSpeed slow_speed = worn_area;
    // The first fast_bytes written go at fast_write_speed, as into the SLC
    // cache of a card's flash; the writes after them at write_speed.
    uint64_t fast_bytes = 0;
    FakeSpeed fast_write_speed = no_time;
    // Calls counted from 0, each kind on its own; -1: never. The write or
    // read with that index fails, the drive staying. From the write with
    // index gone_at_write on, the drive is gone: every access fails, as
    // after a kill or an unplugging. At the write with index stop_at_write,
    // *stop is raised, as by Ctrl+C at a chosen point.
    int64_t failing_write = -1;
    int64_t failing_read = -1;
    int64_t gone_at_write = -1;
    int64_t stop_at_write = -1;
    volatile std::sig_atomic_t* stop = nullptr;
};

// A drive made from a setup: its storage, its cache and what it counted.
struct FakeDrive {
    FakeDriveSetup setup;
    // Real storage in chunks, those written at least once; the others
    // still hold their first content.
    std::unordered_map<uint64_t, std::vector<unsigned char>> chunks;
    // The cache: sector address to the write that put it there and the
    // slot of cache_bytes that holds it, and the writes in order (an
    // address written again is kept by its latest write).
    std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> cached;
    std::deque<std::pair<uint64_t, uint64_t>> cache_order;
    std::vector<unsigned char> cache_bytes;
    uint64_t cache_writes;
    bool gone; // every access fails
    uint64_t garbage_reads;
    double clock; // the seconds its accesses took, by its speeds
    uint64_t writes, reads, bytes_written, bytes_read;
};

// The sector size the drive reports.
uint32_t reported_sector(const FakeDriveSetup* setup);

// Why a drive cannot be made from setup, or null when it can.
const char* fake_drive_setup_fault(const FakeDriveSetup* setup);

// Makes drive anew, as setup describes, holding its first content.
void make_fake_drive(FakeDrive* drive, const FakeDriveSetup* setup);

// Reads [offset, offset + length); the bytes read before the first that
// failed, length when none did. Any offset and length within the claim.
size_t read_fake_drive(FakeDrive* drive, uint64_t offset, size_t length, unsigned char* out);

// Writes [offset, offset + length); false when the drive reports an error
// (a write that is lost is not one).
bool write_fake_drive(FakeDrive* drive, uint64_t offset, size_t length, const unsigned char* data);

// False when the drive is gone.
bool flush_fake_drive(const FakeDrive* drive);

// The first content of bytes [offset, offset + length), storage or claimed
// address alike.
void first_content(const FakeDriveSetup* setup, uint64_t offset, size_t length, unsigned char* out);

// Whether the real storage holds its first content everywhere; if not,
// the storage offset of the first difference.
bool storage_intact(const FakeDrive* drive, uint64_t* first_difference);
