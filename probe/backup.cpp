#include "backup.h"

#include "run_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const unsigned char header_magic[8] = {'S', 'P', 'R', 'A', 'Y', 'L', 'P', 'B'};
const unsigned char record_magic[4] = {'S', 'R', 'E', 'C'};
constexpr uint32_t backup_version = 1;
constexpr size_t record_head_bytes = 4 + 4 + 8 + 8;
constexpr size_t header_fixed_bytes = 8 + 4 + 4 + 8 + 16 + 4;
constexpr uint32_t largest_identity = 4096;

// FNV-1a, 64 bits.
constexpr uint64_t checksum_start = 14695981039346656037ull;

uint64_t checksum_bytes(uint64_t sum, const unsigned char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        sum = (sum ^ bytes[i]) * 1099511628211ull;
    }
    return sum;
}

void put_u32(std::vector<unsigned char>* out, uint32_t value) {
    for (int k = 0; k < 4; ++k) {
        out->push_back(static_cast<unsigned char>(value >> (8 * k)));
    }
}

void put_u64(std::vector<unsigned char>* out, uint64_t value) {
    for (int k = 0; k < 8; ++k) {
        out->push_back(static_cast<unsigned char>(value >> (8 * k)));
    }
}

uint32_t get_u32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t get_u64(const unsigned char* bytes) {
    return get_u32(bytes) | static_cast<uint64_t>(get_u32(bytes + 4)) << 32;
}

// The checksum of a record: its offset and length, then its data.
uint64_t record_checksum(uint64_t offset, uint32_t length, const unsigned char* data) {
    std::vector<unsigned char> head;
    put_u64(&head, offset);
    put_u32(&head, length);
    return checksum_bytes(checksum_bytes(checksum_start, head.data(), head.size()), data, length);
}

bool write_range(const ProbeDevice* device, uint64_t offset, size_t length,
                 const unsigned char* data, RestoreOutcome* outcome) {
    if (length == 0) {
        return true;
    }
    if (!device->write(device->context, offset, length, data)) {
        outcome->device_failed = true;
        return false;
    }
    outcome->sectors_written += length / device->sector_size;
    return true;
}

// Writes one saved range back, leaving out its sectors of the probe's run.
// Marks in written[] (one per sector of the range) what it wrote.
bool write_back_range(const ProbeDevice* device, const GeneratorState* run, const SavedRange* range,
                      const unsigned char* data, char* written, RestoreOutcome* outcome) {
    uint32_t sector = device->sector_size;
    size_t start = 0; // first sector of the pending stretch to write
    size_t sectors = range->length / sector;
    for (size_t k = 0; k < sectors; ++k) {
        uint64_t ignored;
        bool own = find_run_offset(run, data + k * sector, sector, device->size, &ignored);
        written[k] = own ? 0 : 1;
        if (own) {
            outcome->sectors_skipped += 1;
            if (!write_range(device, range->offset + start * sector, (k - start) * sector,
                             data + start * sector, outcome)) {
                return false;
            }
            start = k + 1;
        }
    }
    return write_range(device, range->offset + start * sector, (sectors - start) * sector,
                       data + start * sector, outcome);
}

} // namespace

std::vector<unsigned char> backup_header_bytes(const BackupHeader* header) {
    std::vector<unsigned char> out(header_magic, header_magic + sizeof header_magic);
    put_u32(&out, backup_version);
    put_u32(&out, header->sector_size);
    put_u64(&out, header->device_size);
    for (uint32_t word : header->run.word) {
        put_u32(&out, word);
    }
    put_u32(&out, static_cast<uint32_t>(header->identity.size()));
    out.insert(out.end(), header->identity.begin(), header->identity.end());
    put_u64(&out, checksum_bytes(checksum_start, out.data(), out.size()));
    return out;
}

std::vector<unsigned char> backup_record_head(uint64_t offset, uint32_t length,
                                              const unsigned char* data) {
    std::vector<unsigned char> out(record_magic, record_magic + sizeof record_magic);
    put_u32(&out, length);
    put_u64(&out, offset);
    put_u64(&out, record_checksum(offset, length, data));
    return out;
}

bool parse_backup(const unsigned char* bytes, size_t size, BackupHeader* header, SavedData* saved,
                  bool* cut_short, char* message, size_t capacity) {
    *cut_short = false;
    if (size < header_fixed_bytes + 8 || std::memcmp(bytes, header_magic, 8) != 0) {
        std::snprintf(message, capacity, "not a probe backup");
        return false;
    }
    if (get_u32(bytes + 8) != backup_version) {
        std::snprintf(message, capacity, "a probe backup of version %u, not %u", get_u32(bytes + 8),
                      backup_version);
        return false;
    }
    uint32_t identity_length = get_u32(bytes + header_fixed_bytes - 4);
    size_t header_size = header_fixed_bytes + identity_length + 8;
    if (identity_length > largest_identity || size < header_size ||
        get_u64(bytes + header_size - 8) !=
            checksum_bytes(checksum_start, bytes, header_size - 8)) {
        std::snprintf(message, capacity, "the backup's header is damaged");
        return false;
    }
    header->sector_size = get_u32(bytes + 12);
    header->device_size = get_u64(bytes + 16);
    for (int k = 0; k < 4; ++k) {
        header->run.word[k] = get_u32(bytes + 24 + 4 * k);
    }
    header->run.counter = 4 * weyl_increment;
    header->identity.assign(reinterpret_cast<const char*>(bytes) + header_fixed_bytes,
                            identity_length);
    saved->ranges.clear();
    saved->bytes.clear();
    size_t at = header_size;
    while (at < size) {
        if (size - at < record_head_bytes) {
            *cut_short = true;
            break;
        }
        const unsigned char* head = bytes + at;
        uint32_t length = get_u32(head + 4);
        uint64_t offset = get_u64(head + 8);
        if (std::memcmp(head, record_magic, 4) != 0) {
            std::snprintf(message, capacity, "the backup is damaged at byte %zu", at);
            return false;
        }
        if (size - at - record_head_bytes < length) {
            *cut_short = true;
            break;
        }
        const unsigned char* data = head + record_head_bytes;
        if (get_u64(head + 16) != record_checksum(offset, length, data) ||
            length % header->sector_size != 0) {
            std::snprintf(message, capacity, "the backup's record at byte %zu is damaged", at);
            return false;
        }
        saved->ranges.push_back({offset, length, saved->bytes.size()});
        saved->bytes.insert(saved->bytes.end(), data, data + length);
        at += record_head_bytes + length;
    }
    return true;
}

bool restore_saved(const ProbeDevice* device, const GeneratorState* run, const SavedData* saved,
                   uint64_t trusted_limit, RestoreOutcome* outcome) {
    *outcome = {};
    std::vector<std::vector<char>> written(saved->ranges.size());
    for (size_t k = saved->ranges.size(); k-- > 0;) {
        const SavedRange* range = &saved->ranges[k];
        written[k].assign(range->length / device->sector_size, 0);
        if (!write_back_range(device, run, range, saved->bytes.data() + range->at,
                              written[k].data(), outcome)) {
            return false;
        }
    }
    if (!device->flush(device->context)) {
        outcome->device_failed = true;
        return false;
    }
    // What a sector reads back as is what was written to it last: the
    // record saved earliest among those written there.
    uint32_t sector = device->sector_size;
    std::vector<unsigned char> buffer;
    bool trusted_all = true;
    for (size_t k = 0; k < saved->ranges.size(); ++k) {
        const SavedRange* range = &saved->ranges[k];
        if (std::find(written[k].begin(), written[k].end(), 1) == written[k].end()) {
            continue;
        }
        buffer.resize(range->length);
        if (!device->read(device->context, range->offset, range->length, buffer.data())) {
            outcome->device_failed = true;
            return false;
        }
        for (size_t s = 0; s < written[k].size(); ++s) {
            uint64_t offset = range->offset + s * sector;
            if (written[k][s] != 0 &&
                std::memcmp(buffer.data() + s * sector,
                            saved->bytes.data() + range->at + s * sector, sector) != 0) {
                if (outcome->sectors_differing == 0) {
                    outcome->first_difference = offset;
                }
                outcome->sectors_differing += 1;
                trusted_all = trusted_all && offset >= trusted_limit;
            }
        }
    }
    return trusted_all;
}

bool restore_from_backup(const ProbeDevice* device, const char* identity,
                         const unsigned char* bytes, size_t size, RestoreOutcome* outcome,
                         char* message, size_t capacity) {
    *outcome = {};
    BackupHeader header;
    SavedData saved;
    bool cut_short;
    if (!parse_backup(bytes, size, &header, &saved, &cut_short, message, capacity)) {
        return false;
    }
    if (header.device_size != device->size || header.sector_size != device->sector_size ||
        header.identity != identity) {
        std::snprintf(message, capacity,
                      "the backup is of another drive: %s, %llu bytes in sectors of %u",
                      header.identity.c_str(), static_cast<unsigned long long>(header.device_size),
                      header.sector_size);
        return false;
    }
    for (const SavedRange& range : saved.ranges) {
        if (range.offset % device->sector_size != 0 || range.offset > device->size ||
            range.length > device->size - range.offset) {
            std::snprintf(message, capacity, "the backup holds a range outside the drive");
            return false;
        }
    }
    if (!restore_saved(device, &header.run, &saved, device->size, outcome)) {
        if (outcome->device_failed) {
            std::snprintf(message, capacity, "the drive failed during the restore");
        } else {
            std::snprintf(message, capacity,
                          "%llu sectors read back other than restored, the first at byte %llu "
                          "(past a fake drive's real capacity, it may not keep what is written)",
                          static_cast<unsigned long long>(outcome->sectors_differing),
                          static_cast<unsigned long long>(outcome->first_difference));
        }
        return false;
    }
    return true;
}
