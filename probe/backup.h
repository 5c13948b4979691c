// The sectors that the probe overwrites, kept: in memory for the restore at
// the end of a probe, and as a backup stream that a later restore can
// replay after the probe was killed.
//
// The backup: a header naming the drive (size, sector size, an identity
// string) and the probe's run, then one record per saved range:
//   header: "SPRAYLPB" | version u32 | sector size u32 | drive size u64 |
//           run register 4 x u32 | identity length u32 | identity |
//           checksum u64 of all before it
//   record: "SREC" | length u32 | offset u64 | checksum u64 of offset,
//           length and data | data
// All numbers little-endian. A record is appended and flushed before its
// sectors are written, so a record cut short by a kill was never written
// over and is left out of a restore.
#pragma once

#include "generator.h"
#include "probe_device.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SavedRange {
    uint64_t offset;
    uint32_t length;
    size_t at; // where its bytes start in SavedData::bytes
};

// Saved ranges in the order they were saved.
struct SavedData {
    std::vector<SavedRange> ranges;
    std::vector<unsigned char> bytes;
};

struct BackupHeader {
    uint64_t device_size;
    uint32_t sector_size;
    GeneratorState run; // the probe's run: its sectors need no restoring
    std::string identity;
};

// The header's bytes, and the head of a record, whose data (length bytes)
// follows it.
std::vector<unsigned char> backup_header_bytes(const BackupHeader* header);
std::vector<unsigned char> backup_record_head(uint64_t offset, uint32_t length,
                                              const unsigned char* data);

// Reads a backup: its header and every whole record. A record cut short at
// the end is left out (*cut_short true). Returns false with message when
// the header is not a backup's or a whole record fails its checksum.
bool parse_backup(const unsigned char* bytes, size_t size, BackupHeader* header, SavedData* saved,
                  bool* cut_short, char* message, size_t capacity);

struct RestoreOutcome {
    uint64_t sectors_written;   // written back
    uint64_t sectors_skipped;   // holding the probe's own run: another record has them
    uint64_t sectors_differing; // read back other than written
    uint64_t first_difference;  // offset of the first of those
    bool device_failed;         // a write, flush or read back failed
};

// Writes every saved sector back, the last saved first, so that on a drive
// where two addresses share storage, what the first save read (the user's
// data) is what remains; sectors that hold the probe's own run are left
// out, since a sector is always saved before the probe's first write to it.
// Then reads each written sector back and compares. True when every write
// and read succeeded and every sector below trusted_limit read back as
// written (above it, a drive may drop what is written).
bool restore_saved(const ProbeDevice* device, const GeneratorState* run, const SavedData* saved,
                   uint64_t trusted_limit, RestoreOutcome* outcome);

// Replays a backup onto device after checking that it names this drive:
// size, sector size and identity. False with message when it does not, or
// when the backup is damaged or the restore fails.
bool restore_from_backup(const ProbeDevice* device, const char* identity,
                         const unsigned char* bytes, size_t size, RestoreOutcome* outcome,
                         char* message, size_t capacity);
