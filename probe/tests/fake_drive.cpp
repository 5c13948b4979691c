#include "fake_drive.h"

#include "run_data.h"

#include <cstring>

namespace {

constexpr uint64_t chunk_bytes = 64 * 1024;
// A USB stick: per access, and bytes per second each way.
constexpr double access_seconds = 0.0003;
constexpr double write_rate = 20e6;
constexpr double read_rate = 40e6;

const GeneratorState other_run = {{0x5EED0001, 0x5EED0002, 0x5EED0003, 0x5EED0004},
                                  4 * weyl_increment};

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void pattern_bytes(uint64_t salt, uint64_t offset, size_t length, unsigned char* out) {
    for (size_t k = 0; k < length; ++k) {
        uint64_t at = offset + k;
        out[k] = static_cast<unsigned char>(mix((at / 8) ^ salt) >> (8 * (at % 8)));
    }
}

// Where a claimed address is stored, or false when it is not.
bool storage_of(const FakeDriveSetup* setup, uint64_t address, uint64_t* stored) {
    if (address < setup->real || setup->behaviour == fake_genuine) {
        *stored = address;
        return true;
    }
    if (setup->behaviour == fake_wraps) {
        *stored = setup->low + (address - setup->low) % (setup->real - setup->low);
        return true;
    }
    return false;
}

void read_storage(const FakeDrive* drive, uint64_t offset, size_t length, unsigned char* out) {
    while (length > 0) {
        uint64_t chunk = offset / chunk_bytes;
        size_t skip = static_cast<size_t>(offset % chunk_bytes);
        size_t piece = static_cast<size_t>(chunk_bytes) - skip;
        piece = piece < length ? piece : length;
        auto found = drive->chunks.find(chunk);
        if (found == drive->chunks.end()) {
            first_content(&drive->setup, offset, piece, out);
        } else {
            std::memcpy(out, found->second.data() + skip, piece);
        }
        offset += piece;
        out += piece;
        length -= piece;
    }
}

void write_storage(FakeDrive* drive, uint64_t offset, size_t length, const unsigned char* data) {
    while (length > 0) {
        uint64_t chunk = offset / chunk_bytes;
        size_t skip = static_cast<size_t>(offset % chunk_bytes);
        size_t piece = static_cast<size_t>(chunk_bytes) - skip;
        piece = piece < length ? piece : length;
        std::vector<unsigned char>& stored = drive->chunks[chunk];
        if (stored.empty()) {
            stored.resize(chunk_bytes);
            first_content(&drive->setup, chunk * chunk_bytes, chunk_bytes, stored.data());
        }
        std::memcpy(stored.data() + skip, data, piece);
        offset += piece;
        data += piece;
        length -= piece;
    }
}

void cache_sector(FakeDrive* drive, uint64_t address, const unsigned char* data) {
    uint32_t sector = drive->setup.sector;
    uint64_t capacity = drive->setup.cache / sector;
    if (capacity == 0) {
        return;
    }
    drive->cache_writes += 1;
    drive->cached[address] = {drive->cache_writes, std::vector<unsigned char>(data, data + sector)};
    drive->cache_order.push_back({address, drive->cache_writes});
    while (drive->cached.size() > capacity) {
        auto oldest = drive->cache_order.front();
        drive->cache_order.pop_front();
        auto found = drive->cached.find(oldest.first);
        if (found != drive->cached.end() && found->second.first == oldest.second) {
            drive->cached.erase(found);
        }
    }
}

// One sector as the drive answers it; false for a read error.
bool read_sector(FakeDrive* drive, uint64_t address, unsigned char* out) {
    const FakeDriveSetup* setup = &drive->setup;
    auto cached = drive->cached.find(address);
    if (cached != drive->cached.end()) {
        std::memcpy(out, cached->second.second.data(), setup->sector);
        return true;
    }
    uint64_t stored;
    if (storage_of(setup, address, &stored)) {
        read_storage(drive, stored, setup->sector, out);
        return true;
    }
    switch (setup->behaviour) {
    case fake_drops_zeros:
        std::memset(out, 0, setup->sector);
        return true;
    case fake_drops_ones:
        std::memset(out, 0xFF, setup->sector);
        return true;
    case fake_drops_old:
        first_content(setup, address, setup->sector, out);
        return true;
    case fake_mirrors:
        read_storage(drive, address % setup->real, setup->sector, out);
        return true;
    case fake_drops_other:
        drive->garbage_reads += 1;
        pattern_bytes(mix(drive->garbage_reads), address, setup->sector, out);
        return true;
    default:
        return false;
    }
}

void pass_time(FakeDrive* drive, size_t length, double rate) {
    drive->clock += access_seconds + static_cast<double>(length) / rate;
}

bool fake_read(void* context, uint64_t offset, size_t length, unsigned char* buffer) {
    FakeDrive* drive = static_cast<FakeDrive*>(context);
    bool failing = static_cast<int64_t>(drive->reads) == drive->failing_read;
    if (drive->gone || offset + length > drive->setup.claimed || failing) {
        drive->reads += failing ? 1 : 0;
        return false;
    }
    pass_time(drive, length, read_rate);
    drive->reads += 1;
    drive->bytes_read += length;
    for (size_t at = 0; at < length; at += drive->setup.sector) {
        if (!read_sector(drive, offset + at, buffer + at)) {
            return false;
        }
    }
    return true;
}

bool fake_write(void* context, uint64_t offset, size_t length, const unsigned char* data) {
    FakeDrive* drive = static_cast<FakeDrive*>(context);
    if (drive->writes_left == 0) {
        drive->gone = true;
    }
    bool failing = static_cast<int64_t>(drive->writes) == drive->failing_write;
    if (drive->gone || offset + length > drive->setup.claimed || failing) {
        drive->writes += failing ? 1 : 0;
        return false;
    }
    drive->writes_left -= drive->writes_left > 0 ? 1 : 0;
    if (drive->stop != nullptr && static_cast<int64_t>(drive->writes) == drive->stop_after) {
        *drive->stop = 1;
    }
    pass_time(drive, length, write_rate);
    drive->writes += 1;
    drive->bytes_written += length;
    for (size_t at = 0; at < length; at += drive->setup.sector) {
        uint64_t stored;
        if (storage_of(&drive->setup, offset + at, &stored)) {
            write_storage(drive, stored, drive->setup.sector, data + at);
        }
        cache_sector(drive, offset + at, data + at);
    }
    return true;
}

bool fake_flush(void* context) {
    return !static_cast<FakeDrive*>(context)->gone;
}

double fake_seconds(void* context) {
    return static_cast<FakeDrive*>(context)->clock;
}

bool backup_gone(const FakeBackup* backup) {
    return backup->drive != nullptr && backup->drive->gone;
}

bool fake_backup_write(void* context, uint64_t offset, const unsigned char* bytes, size_t size) {
    FakeBackup* backup = static_cast<FakeBackup*>(context);
    if (backup_gone(backup)) {
        return false;
    }
    backup->writes += 1;
    bool failing = backup->fail_write != 0 && backup->writes >= backup->fail_write;
    if (failing && backup->kill && backup->drive != nullptr) {
        backup->drive->gone = true;
    }
    size_t landing = failing ? (backup->writes == backup->fail_write ? backup->partial : 0) : size;
    landing = landing < size ? landing : size;
    if (backup->bytes.size() < offset + landing) {
        backup->bytes.resize(static_cast<size_t>(offset + landing));
    }
    if (landing > 0) {
        std::memcpy(backup->bytes.data() + offset, bytes, landing);
    }
    return !failing;
}

bool fake_backup_flush(void* context) {
    FakeBackup* backup = static_cast<FakeBackup*>(context);
    backup->flushes += 1;
    return !backup_gone(backup) &&
           (backup->fail_flush == 0 || backup->flushes < backup->fail_flush);
}

} // namespace

void make_fake_drive(FakeDrive* drive, const FakeDriveSetup* setup) {
    drive->setup = *setup;
    drive->chunks.clear();
    drive->cached.clear();
    drive->cache_order.clear();
    drive->cache_writes = 0;
    drive->writes_left = -1;
    drive->gone = false;
    drive->failing_write = -1;
    drive->failing_read = -1;
    drive->stop_after = -1;
    drive->stop = nullptr;
    drive->garbage_reads = 0;
    drive->clock = 0;
    drive->writes = drive->reads = drive->bytes_written = drive->bytes_read = 0;
}

ProbeDevice fake_device(FakeDrive* drive) {
    return {drive,      drive->setup.claimed, drive->setup.sector, fake_read,
            fake_write, fake_flush,           fake_seconds};
}

BackupSink fake_backup_sink(FakeBackup* backup) {
    return {backup, fake_backup_write, fake_backup_flush};
}

void first_content(const FakeDriveSetup* setup, uint64_t offset, size_t length,
                   unsigned char* out) {
    switch (setup->content) {
    case content_zeros:
        std::memset(out, 0, length);
        return;
    case content_other_run:
        run_bytes(&other_run, offset, length, out);
        return;
    case content_user:
        pattern_bytes(0x05E4DA7A, offset, length, out);
        return;
    }
}

bool storage_intact(const FakeDrive* drive, uint64_t* first_difference) {
    std::vector<unsigned char> first(chunk_bytes);
    bool intact = true;
    *first_difference = UINT64_MAX;
    for (const auto& chunk : drive->chunks) {
        first_content(&drive->setup, chunk.first * chunk_bytes, chunk_bytes, first.data());
        for (size_t k = 0; k < chunk_bytes; ++k) {
            if (chunk.second[k] != first[k]) {
                intact = false;
                uint64_t at = chunk.first * chunk_bytes + k;
                *first_difference = at < *first_difference ? at : *first_difference;
                break;
            }
        }
    }
    return intact;
}
