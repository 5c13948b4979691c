// The backup of the sectors that the probe overwrites: a file that a later
// restore can replay after the probe was killed, and that can show whether
// it is whole.
//
// Version 2 (written now):
//   header:  "SPRAYLPB" | version u32 | sector size u32 | drive size u64 |
//            run register 4 x u32 | identity length u32 | identity |
//            checksum u64 of all before it
//   flushed: length u64 | checksum u64
//   record:  "SREC" | number u32 | length u32 | offset u64 |
//            head checksum u64 | data checksum u64 | data
//   closing: "SEND" | records u32 | trusted limit u64 | checksum u64
// All numbers little-endian; checksums are FNV-1a, 64 bits, begun from the
// header's checksum (so that records of another backup, one that lay on the
// drive probed say, never pass as this one's); a record's data checksum is
// begun from its head checksum. Records are numbered from 0 in the order
// they were saved.
//
// Before each write to the drive, the records of the sectors it overwrites
// are appended, the flushed field (right after the header) is rewritten
// with the backup's length so far, and the file is flushed. So every record
// before the flushed length was safe before its sectors were written, and a
// backup shorter than its flushed length was cut short after the fact;
// what lies past it was never followed by a write to the drive. The
// closing record is appended once the probe has finished writing to the
// drive: it counts the records, and gives the bytes below which every
// sector must read back as saved (the drive's real capacity when the probe
// found it; past it a fake drive keeps nothing).
//
// Version 1 (read still): the same header, no flushed field, records
// "SREC" | length u32 | offset u64 | checksum u64 of offset, length and data
// | data, no numbers and no closing record.
#pragma once

#include "device.h"
#include "generator.h"

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
    uint32_t version; // as read; a backup is written in the current one
};

// ---- Writing ----

// A backup being written through a sink.
struct BackupJournal {
    const BackupSink* sink;
    uint64_t end;        // bytes written so far
    uint64_t seed;       // the header's checksum
    uint64_t flushed_at; // where the flushed field lies
    uint32_t records;    // records appended
    const char* failure; // the first failure ("a write", "a flush"), or nullptr
};

// Writes the header and the flushed field (not flushed yet: the first
// commit does that, before the first write to the drive).
bool backup_start(BackupJournal* journal, const BackupSink* sink, const BackupHeader* header);

// Appends the record of length saved bytes of the drive at offset.
bool backup_append(BackupJournal* journal, uint64_t offset, uint32_t length,
                   const unsigned char* data);

// Makes every record appended so far safe: rewrites the flushed field with
// the backup's length and flushes. Only then may their sectors be written.
bool backup_commit(BackupJournal* journal);

// The closing record, committed: the probe writes nothing more to the drive.
bool backup_close(BackupJournal* journal, uint64_t trusted_limit);

// ---- Reading ----

// Whether a backup can show that it names every place the probe wrote.
enum BackupWholeness {
    backup_closed,    // its closing record: the probe finished writing, every record is here
    backup_open,      // no closing record, but it holds all it had flushed: the probe was
                      // stopped before it finished writing (a kill, a power failure)
    backup_cut_short, // it ends before the length it had flushed
    backup_unproven,  // it cannot tell: version 1, or its flushed field is damaged
};

// A record whose head is whole but whose data is damaged: the place it
// saved is known, what it held is not.
struct DamagedRecord {
    uint32_t number;
    uint64_t offset;
    uint32_t length;
};

// Bytes of the backup that hold no readable record, or that are missing
// after a cut: the records there, and so the places they saved, are not
// known.
struct UnreadableStretch {
    uint64_t at; // in the backup
    uint64_t bytes;
    uint32_t first_record; // the number of the first record it held
    uint32_t records;      // how many; 0 when not known
};

struct BackupContents {
    BackupHeader header;
    SavedData saved; // every whole record
    BackupWholeness wholeness;
    uint32_t records;       // records found whole or damaged, and missing ones counted
    uint64_t trusted_limit; // below it every sector must read back as saved
    std::vector<DamagedRecord> damaged;
    std::vector<UnreadableStretch> unreadable;
};

// Reads a backup: its header, every whole record, and what is damaged or
// missing. False with message only when it is no backup at all, or its
// header is damaged, cut short or of an unknown version.
bool parse_backup(const unsigned char* bytes, size_t size, BackupContents* contents, char* message,
                  size_t capacity);

// Whether the backup shows every place the probe wrote, each record whole.
bool backup_is_whole(const BackupContents* contents);

// The most bytes a header takes: reading this many from a backup's start
// is enough for parse_backup_header.
constexpr size_t backup_header_limit = 8192;

// Reads the header alone from a backup's first bytes (any part of the
// rest may follow, or none). False with message as parse_backup.
bool parse_backup_header(const unsigned char* bytes, size_t size, BackupHeader* header,
                         char* message, size_t capacity);

// Whether header names the drive that device and identity describe: its
// size, its sector size and its identity.
bool backup_names_drive(const BackupHeader* header, const ProbeDevice* device,
                        const char* identity);
