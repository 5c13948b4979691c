#include "restore.h"

#include "run_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Notes [offset, offset + length) as left, joined to the last range where
// it continues it.
void note_left(RestoreOutcome* outcome, uint64_t offset, uint64_t length, LeftKind kind) {
    if (!outcome->left.empty()) {
        LeftRange* last = &outcome->left.back();
        if (last->kind == kind && last->offset + last->length == offset) {
            last->length += length;
            return;
        }
    }
    outcome->left.push_back({offset, length, kind});
}

bool holds_probe_data(const ProbeDevice* device, const GeneratorState* run,
                      const unsigned char* data) {
    uint64_t ignored;
    return find_run_offset(run, data, device->sector_size, device->size, &ignored);
}

void write_range(const ProbeDevice* device, uint64_t offset, size_t length,
                 const unsigned char* data, RestoreOutcome* outcome) {
    if (length == 0) {
        return;
    }
    if (!device->write(device->context, offset, length, data)) {
        outcome->writes_failed += 1;
        return;
    }
    outcome->sectors_written += length / device->sector_size;
}

// Writes one saved range back, leaving out its sectors of the probe's run.
// Marks in written[] (one per sector of the range) what it was to write.
void write_back_range(const ProbeDevice* device, const GeneratorState* run, const SavedRange* range,
                      const unsigned char* data, char* written, RestoreOutcome* outcome) {
    uint32_t sector = device->sector_size;
    size_t start = 0; // first sector of the pending stretch to write
    size_t sectors = range->length / sector;
    for (size_t k = 0; k < sectors; ++k) {
        bool own = holds_probe_data(device, run, data + k * sector);
        written[k] = own ? 0 : 1;
        if (own) {
            outcome->sectors_skipped += 1;
            write_range(device, range->offset + start * sector, (k - start) * sector,
                        data + start * sector, outcome);
            start = k + 1;
        }
    }
    write_range(device, range->offset + start * sector, (sectors - start) * sector,
                data + start * sector, outcome);
}

// Reads length bytes at offset into buffer; where the drive fails the
// read, notes them as left unreadable and returns false.
bool read_back(const ProbeDevice* device, uint64_t offset, uint32_t length,
               std::vector<unsigned char>* buffer, RestoreOutcome* outcome) {
    buffer->resize(length);
    if (!device->read(device->context, offset, length, buffer->data())) {
        outcome->device_failed = true;
        note_left(outcome, offset, length, left_unreadable);
        return false;
    }
    return true;
}

// Checks what one saved range read back as (now). What a sector reads back
// as is what was written to it last: the record saved earliest among those
// written there. A sector left out must not hold the probe's data either.
void check_range(const ProbeDevice* device, const GeneratorState* run, const SavedRange* range,
                 const unsigned char* saved, const char* written, uint64_t trusted_limit,
                 const unsigned char* now_bytes, RestoreOutcome* outcome) {
    uint32_t sector = device->sector_size;
    for (size_t s = 0; s < range->length / sector; ++s) {
        uint64_t offset = range->offset + s * sector;
        const unsigned char* now = now_bytes + s * sector;
        bool differs = written[s] != 0 && std::memcmp(now, saved + s * sector, sector) != 0;
        if (differs && outcome->sectors_differing++ == 0) {
            outcome->first_difference = offset;
        }
        if (offset >= trusted_limit || (written[s] != 0 && !differs)) {
            continue;
        }
        if (holds_probe_data(device, run, now)) {
            note_left(outcome, offset, sector, left_probe_data);
        } else if (differs) {
            note_left(outcome, offset, sector, left_differs);
        }
    }
}

// The bytes of saved ranges of one length read back at once.
constexpr size_t check_batch_bytes = size_t{16} << 20;

// Reads the saved ranges back and checks them, in order; ranges of one
// length are read several at a time where the drive can.
void check_ranges(const ProbeDevice* device, const GeneratorState* run, const SavedData* saved,
                  const std::vector<std::vector<char>>* written, uint64_t trusted_limit,
                  RestoreOutcome* outcome) {
    const std::vector<SavedRange>& ranges = saved->ranges;
    std::vector<unsigned char> buffer;
    std::vector<uint64_t> offsets;
    for (size_t first = 0; first < ranges.size();) {
        uint32_t length = ranges[first].length;
        size_t last = first + 1;
        while (device->read_many != nullptr && last < ranges.size() &&
               ranges[last].length == length &&
               (last - first + 1) * size_t{length} <= check_batch_bytes) {
            ++last;
        }
        size_t count = last - first;
        offsets.resize(count);
        for (size_t k = 0; k < count; ++k) {
            offsets[k] = ranges[first + k].offset;
        }
        buffer.resize(count * size_t{length});
        std::unique_ptr<bool[]> ok(new bool[count]);
        if (count > 1) {
            device->read_many(device->context, offsets.data(), count, length, buffer.data(),
                              ok.get());
        } else {
            ok[0] = device->read(device->context, offsets[0], length, buffer.data());
        }
        for (size_t k = 0; k < count; ++k) {
            const SavedRange* range = &ranges[first + k];
            if (!ok[k]) {
                outcome->device_failed = true;
                note_left(outcome, range->offset, range->length, left_unreadable);
                continue;
            }
            check_range(device, run, range, saved->bytes.data() + range->at,
                        (*written)[first + k].data(), trusted_limit,
                        buffer.data() + k * size_t{length}, outcome);
        }
        first = last;
    }
}

// A damaged record's range: not restored; whether the probe's data is there.
void check_damaged(const ProbeDevice* device, const GeneratorState* run,
                   const DamagedRecord* record, std::vector<unsigned char>* buffer,
                   RestoreOutcome* outcome) {
    uint32_t sector = device->sector_size;
    if (!read_back(device, record->offset, record->length, buffer, outcome)) {
        return;
    }
    for (size_t s = 0; s < record->length / sector; ++s) {
        bool probe = holds_probe_data(device, run, buffer->data() + s * sector);
        note_left(outcome, record->offset + s * sector, sector,
                  probe ? left_probe_data : left_damaged);
    }
}

// Small ranges past the trusted limit are read before they are written
// back: one that holds what was saved is left alone. Writing it would
// change nothing on a drive that keeps it, and a drive that turns
// read-only or stops answering at its first write past what it holds
// would do so there, before the rest was written back. (The probe's
// single places are such ranges; its witness is not read twice.)
constexpr uint32_t read_first_bytes = 64 * 1024;

bool already_holds(const ProbeDevice* device, const SavedRange* range, const unsigned char* data,
                   uint64_t trusted_limit, std::vector<unsigned char>* buffer) {
    if (range->offset < trusted_limit || range->length > read_first_bytes) {
        return false;
    }
    buffer->resize(range->length);
    return device->read(device->context, range->offset, range->length, buffer->data()) &&
           std::memcmp(buffer->data(), data, range->length) == 0;
}

bool inside(const ProbeDevice* device, uint64_t offset, uint64_t length) {
    return offset % device->sector_size == 0 && length % device->sector_size == 0 &&
           offset <= device->size && length <= device->size - offset;
}

} // namespace

bool restore_saved(const ProbeDevice* device, const GeneratorState* run, const SavedData* saved,
                   uint64_t trusted_limit, RestoreOutcome* outcome) {
    *outcome = {};
    double started = device->seconds(device->context);
    std::vector<std::vector<char>> written(saved->ranges.size());
    std::vector<unsigned char> buffer;
    for (size_t k = saved->ranges.size(); k-- > 0;) {
        const SavedRange* range = &saved->ranges[k];
        const unsigned char* data = saved->bytes.data() + range->at;
        written[k].assign(range->length / device->sector_size, 0);
        if (already_holds(device, range, data, trusted_limit, &buffer)) {
            // Checked as written: it must still read back as saved.
            written[k].assign(written[k].size(), 1);
            continue;
        }
        write_back_range(device, run, range, data, written[k].data(), outcome);
    }
    if (!device->flush(device->context)) {
        outcome->device_failed = true;
    }
    check_ranges(device, run, saved, &written, trusted_limit, outcome);
    outcome->seconds = device->seconds(device->context) - started;
    return !outcome->device_failed && outcome->left.empty();
}

bool restore_from_backup(const ProbeDevice* device, const char* identity,
                         const BackupContents* backup, RestoreOutcome* outcome, char* message,
                         size_t capacity) {
    *outcome = {};
    const BackupHeader* header = &backup->header;
    if (!backup_names_drive(header, device, identity)) {
        std::snprintf(message, capacity,
                      "the backup is of another drive: %s, %llu bytes in sectors of %u",
                      header->identity.c_str(),
                      static_cast<unsigned long long>(header->device_size), header->sector_size);
        return false;
    }
    bool on_drive = true;
    for (const SavedRange& range : backup->saved.ranges) {
        on_drive = on_drive && inside(device, range.offset, range.length);
    }
    for (const DamagedRecord& record : backup->damaged) {
        on_drive = on_drive && inside(device, record.offset, record.length);
    }
    if (!on_drive) {
        std::snprintf(message, capacity, "the backup holds a range outside the drive");
        return false;
    }
    restore_saved(device, &header->run, &backup->saved, backup->trusted_limit, outcome);
    std::vector<unsigned char> buffer;
    for (size_t k = 0; k < backup->damaged.size(); ++k) {
        check_damaged(device, &header->run, &backup->damaged[k], &buffer, outcome);
    }
    return true;
}

RestoreVerdict restore_verdict(const BackupContents* backup, const RestoreOutcome* outcome) {
    if (outcome->device_failed) {
        return restore_failed;
    }
    if (!outcome->left.empty() || !backup->damaged.empty() || !backup->unreadable.empty()) {
        return restored_partly;
    }
    switch (backup->wholeness) {
    case backup_closed:
    case backup_open:
        return restored_all;
    case backup_unproven:
        return restored_all_it_names;
    case backup_cut_short:
        break;
    }
    return restored_partly;
}
