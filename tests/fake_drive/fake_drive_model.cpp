#include "fake_drive_model.h"

#include "generator.h"

#include <cstring>

namespace {

constexpr uint64_t chunk_bytes = 64 * 1024;

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The byte at address a is byte a % 8 of mix(a / 8 ^ salt): one mix for
// each 8 bytes.
void pattern_bytes(uint64_t salt, uint64_t offset, size_t length, unsigned char* out) {
    size_t k = 0;
    while (k < length) {
        uint64_t at = offset + k;
        uint64_t word = mix((at / 8) ^ salt);
        size_t shift = static_cast<size_t>(at % 8);
        size_t take = 8 - shift < length - k ? 8 - shift : length - k;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (take == 8) { // the word's bytes in memory order
            std::memcpy(out + k, &word, 8);
            k += 8;
            continue;
        }
#endif
        for (size_t j = 0; j < take; ++j) {
            out[k + j] = static_cast<unsigned char>(word >> (8 * (shift + j)));
        }
        k += take;
    }
}

// An earlier fill by sprayl: in each block of 16 KiB, a run of the
// generator from a state of the block's own, as a fill of small files
// leaves.
void earlier_fill_bytes(uint64_t offset, size_t length, unsigned char* out) {
    alignas(64) unsigned char block[block_bytes];
    while (length > 0) {
        uint64_t index = offset / block_bytes;
        size_t skip = static_cast<size_t>(offset % block_bytes);
        size_t piece = block_bytes - skip < length ? block_bytes - skip : length;
        uint64_t low = mix(index ^ 0x5EED0001), high = mix(low);
        GeneratorState state = {{static_cast<uint32_t>(low), static_cast<uint32_t>(low >> 32),
                                 static_cast<uint32_t>(high), static_cast<uint32_t>(high >> 32)},
                                0};
        fill_block(&state, block);
        std::memcpy(out, block + skip, piece);
        offset += piece;
        out += piece;
        length -= piece;
    }
}

// Where the sector at a claimed address is stored, or false when it is not.
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

// The slot of the sector whose latest write is the oldest, now free.
size_t push_out_oldest(FakeDrive* drive) {
    for (;;) {
        auto oldest = drive->cache_order.front();
        drive->cache_order.pop_front();
        auto found = drive->cached.find(oldest.first);
        if (found != drive->cached.end() && found->second.first == oldest.second) {
            size_t slot = found->second.second;
            drive->cached.erase(found);
            return slot;
        }
    }
}

// A whole sector written: the newest in the cache, in the slot of the oldest
// once the cache is full.
void cache_sector(FakeDrive* drive, uint64_t address, const unsigned char* data) {
    uint32_t sector = drive->setup.sector;
    uint64_t capacity = drive->setup.cache / sector;
    if (capacity == 0) {
        return;
    }
    drive->cache_writes += 1;
    auto found = drive->cached.find(address);
    size_t slot = found != drive->cached.end()      ? found->second.second
                  : drive->cached.size() < capacity ? drive->cached.size()
                                                    : push_out_oldest(drive);
    drive->cached[address] = {drive->cache_writes, slot};
    drive->cache_order.push_back({address, drive->cache_writes});
    if (drive->cache_bytes.size() < (slot + 1) * sector) {
        drive->cache_bytes.resize((slot + 1) * sector);
    }
    std::memcpy(drive->cache_bytes.data() + slot * sector, data, sector);
}

// Part of a sector written: a copy in the cache takes it too.
void cache_part(FakeDrive* drive, uint64_t address, size_t skip, size_t length,
                const unsigned char* data) {
    auto found = drive->cached.find(address);
    if (found != drive->cached.end()) {
        std::memcpy(drive->cache_bytes.data() + found->second.second * drive->setup.sector + skip,
                    data, length);
    }
}

// length bytes from at, inside the sector at address, as the drive answers
// them; false for a read error.
bool read_piece(FakeDrive* drive, uint64_t address, uint64_t at, size_t length,
                unsigned char* out) {
    const FakeDriveSetup* setup = &drive->setup;
    size_t skip = static_cast<size_t>(at - address);
    auto cached = drive->cached.find(address);
    if (cached != drive->cached.end()) {
        std::memcpy(out, drive->cache_bytes.data() + cached->second.second * setup->sector + skip,
                    length);
        return true;
    }
    uint64_t stored;
    if (storage_of(setup, address, &stored)) {
        read_storage(drive, stored + skip, length, out);
        return true;
    }
    switch (setup->behaviour) {
    case fake_drops_zeros:
        std::memset(out, 0, length);
        return true;
    case fake_drops_ones:
        std::memset(out, 0xFF, length);
        return true;
    case fake_drops_old:
        first_content(setup, at, length, out);
        return true;
    case fake_mirrors:
        read_storage(drive, address % setup->real + skip, length, out);
        return true;
    case fake_drops_other:
        drive->garbage_reads += 1;
        pattern_bytes(mix(drive->garbage_reads), at, length, out);
        return true;
    default:
        return false;
    }
}

void write_piece(FakeDrive* drive, uint64_t address, uint64_t at, size_t length,
                 const unsigned char* data) {
    size_t skip = static_cast<size_t>(at - address);
    uint64_t stored;
    if (storage_of(&drive->setup, address, &stored)) {
        write_storage(drive, stored + skip, length, data);
    }
    if (length == drive->setup.sector) {
        cache_sector(drive, address, data);
    } else {
        cache_part(drive, address, skip, length, data);
    }
}

// The bytes [offset, offset + length) a piece at a time, no piece crossing
// a sector: each (sector address, offset, length, bytes done before it)
// until one returns false; the bytes done.
template <typename Piece>
size_t by_sector(const FakeDriveSetup* setup, uint64_t offset, size_t length, Piece piece) {
    size_t done = 0;
    while (done < length) {
        uint64_t at = offset + done;
        uint64_t address = at - at % setup->sector;
        size_t part = static_cast<size_t>(address + setup->sector - at);
        part = part < length - done ? part : length - done;
        if (!piece(address, at, part, done)) {
            break;
        }
        done += part;
    }
    return done;
}

double access_seconds(const FakeDriveSetup* setup, uint64_t offset, size_t length,
                      FakeSpeed speed) {
    if (offset < setup->slow_end && offset + length > setup->slow_start) {
        speed = setup->slow_speed;
    }
    double bytes = static_cast<double>(length);
    return speed.access_seconds + (speed.bytes_per_second > 0 ? bytes / speed.bytes_per_second : 0);
}

bool within_claim(const FakeDriveSetup* setup, uint64_t offset, size_t length) {
    return offset <= setup->claimed && length <= setup->claimed - offset;
}

// A write that reaches past what the drive holds, on a drive that turns
// read-only or drops off the bus there: it does so now, and fails the
// write. False for any other write.
bool fails_past_real(FakeDrive* drive, uint64_t offset, size_t length) {
    const FakeDriveSetup* setup = &drive->setup;
    if (setup->write_past == fake_takes_writes || offset + length <= setup->real) {
        return false;
    }
    drive->read_only = setup->write_past == fake_turns_read_only;
    drive->gone = setup->write_past == fake_drops_off;
    return true;
}

} // namespace

uint32_t reported_sector(const FakeDriveSetup* setup) {
    return setup->logical_sector != 0 ? setup->logical_sector : setup->sector;
}

const char* fake_drive_setup_fault(const FakeDriveSetup* setup) {
    if (setup->sector == 0 || setup->real == 0 || setup->real > setup->claimed) {
        return "it must hold some bytes and no more than it claims";
    }
    if (setup->real % setup->sector != 0 || setup->low % setup->sector != 0) {
        return "what it holds and its low area must be whole sectors";
    }
    if (setup->real_changes_at_write >= 0 &&
        (setup->real_later == 0 || setup->real_later > setup->claimed ||
         setup->real_later % setup->sector != 0 || setup->low >= setup->real_later)) {
        return "what it holds later must be whole sectors, above its low area, within its claim";
    }
    if (setup->sector % reported_sector(setup) != 0) {
        return "the sector it reports must divide the unit it maps";
    }
    if (setup->low >= setup->real) {
        return "its low area must be smaller than what it holds";
    }
    return nullptr;
}

void make_fake_drive(FakeDrive* drive, const FakeDriveSetup* setup) {
    drive->setup = *setup;
    drive->chunks.clear();
    drive->cached.clear();
    drive->cache_order.clear();
    drive->cache_bytes.clear();
    drive->cache_writes = 0;
    drive->gone = false;
    drive->read_only = false;
    drive->replugs = 0;
    drive->garbage_reads = 0;
    drive->clock = 0;
    drive->writes = drive->reads = drive->bytes_written = drive->bytes_read = 0;
}

size_t read_fake_drive(FakeDrive* drive, uint64_t offset, size_t length, unsigned char* out) {
    const FakeDriveSetup* setup = &drive->setup;
    bool failing = static_cast<int64_t>(drive->reads) == setup->failing_read;
    if (drive->gone || !within_claim(setup, offset, length) || failing) {
        drive->reads += failing ? 1 : 0;
        return 0;
    }
    drive->clock += access_seconds(setup, offset, length, setup->read_speed);
    drive->reads += 1;
    drive->bytes_read += length;
    return by_sector(setup, offset, length,
                     [drive, out](uint64_t address, uint64_t at, size_t part, size_t done) {
                         return read_piece(drive, address, at, part, out + done);
                     });
}

bool write_fake_drive(FakeDrive* drive, uint64_t offset, size_t length, const unsigned char* data) {
    const FakeDriveSetup* setup = &drive->setup;
    if (static_cast<int64_t>(drive->writes) == setup->gone_at_write) {
        drive->gone = true;
    }
    bool failing = static_cast<int64_t>(drive->writes) == setup->failing_write;
    if (drive->gone || drive->read_only || !within_claim(setup, offset, length) || failing) {
        drive->writes += failing ? 1 : 0;
        return false;
    }
    if (static_cast<int64_t>(drive->writes) == setup->real_changes_at_write) {
        drive->setup.real = setup->real_later;
    }
    if (fails_past_real(drive, offset, length)) {
        return false;
    }
    if (setup->stop != nullptr && static_cast<int64_t>(drive->writes) == setup->stop_at_write) {
        *setup->stop = 1;
    }
    bool fast = drive->bytes_written + length <= setup->fast_bytes;
    drive->clock +=
        access_seconds(setup, offset, length, fast ? setup->fast_write_speed : setup->write_speed);
    drive->writes += 1;
    drive->bytes_written += length;
    by_sector(setup, offset, length,
              [drive, data](uint64_t address, uint64_t at, size_t part, size_t done) {
                  write_piece(drive, address, at, part, data + done);
                  return true;
              });
    return true;
}

bool flush_fake_drive(const FakeDrive* drive) {
    return !drive->gone;
}

void replug_fake_drive(FakeDrive* drive) {
    drive->cached.clear();
    drive->cache_order.clear();
    drive->cache_bytes.clear();
    drive->gone = false;
    drive->read_only = false;
    drive->replugs += 1;
}

void first_content(const FakeDriveSetup* setup, uint64_t offset, size_t length,
                   unsigned char* out) {
    switch (setup->content) {
    case content_zeros:
        std::memset(out, 0, length);
        return;
    case content_other_run:
        earlier_fill_bytes(offset, length, out);
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
        if (std::memcmp(chunk.second.data(), first.data(), chunk_bytes) == 0) {
            continue;
        }
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
