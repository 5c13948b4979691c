// A drive that lies, for the tests: a FUSE file system with one file,
// "drive", that claims more bytes than it holds. A loop device over that
// file stands for a fake USB stick or memory card.
//
//   fake_drive --claims N --holds N [--past zeros|ff|old|errors|wrap] [--low N]
//              [--slow START:END] [--cache N] MOUNTPOINT [FUSE options]
//
// Bytes below --holds are kept in memory. Past it, writes are dropped and
// reads give zeros or FF bytes, what an earlier fill left there (old: data
// of another run of sprayl), or read errors; or (wrap) the offsets wrap
// around onto the bytes held, all of them or (--low N) those above a low
// area of N bytes that is kept apart, as some fakes keep their file
// system's tables. Requests that touch [START, END) take a millisecond
// longer per 4 KiB, as a worn area does. With --cache N, the last N bytes
// written past what it holds are answered from the drive's own memory until
// later writes push them out, as the RAM of a fake's controller does. Every
// read and write reaches the
// daemon (direct_io), so the drive's behaviour is never hidden by the page
// cache of its file.
#define FUSE_USE_VERSION 31

#include "generator.h"

#include <fuse.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unordered_map>
#include <vector>
#include <unistd.h>

namespace {

enum PastCapacity { past_zeros, past_ff, past_old, past_errors, past_wrap };

struct PastRow {
    const char* name;
    PastCapacity past;
};

const PastRow past_rows[] = {
    {"zeros", past_zeros},   {"ff", past_ff},     {"old", past_old},
    {"errors", past_errors}, {"wrap", past_wrap},
};

struct FakeDrive {
    uint64_t claims;
    uint64_t holds;
    uint64_t low; // wrap: the bytes at the start that are kept apart
    PastCapacity past;
    uint64_t slow_start;
    uint64_t slow_end;
    unsigned char* storage;
    unsigned char* old; // old: what an earlier fill left past holds
} drive;

// The drive's cache of the latest sectors written past what it holds: a
// ring of sectors, and where each address's newest copy sits in it.
constexpr uint64_t cache_sector = 512;
struct SectorCache {
    size_t sectors; // 0: no cache
    size_t next;
    std::vector<uint64_t> addresses;
    std::vector<unsigned char> bytes;
    std::unordered_map<uint64_t, size_t> newest;
} cache;

void cache_write(uint64_t address, const unsigned char* sector) {
    size_t slot = cache.next;
    cache.next = (cache.next + 1) % cache.sectors;
    auto old = cache.newest.find(cache.addresses[slot]);
    if (old != cache.newest.end() && old->second == slot) {
        cache.newest.erase(old);
    }
    cache.addresses[slot] = address;
    std::memcpy(&cache.bytes[slot * cache_sector], sector, cache_sector);
    cache.newest[address] = slot;
}

const unsigned char* cache_read(uint64_t address) {
    auto found = cache.newest.find(address);
    return found == cache.newest.end() ? nullptr : &cache.bytes[found->second * cache_sector];
}

const char drive_path[] = "/drive";

bool parse_size(const char* text, uint64_t* value) {
    char* end = nullptr;
    unsigned long long number = std::strtoull(text, &end, 10);
    if (end == text) {
        return false;
    }
    int shift = *end == 'K' ? 10 : *end == 'M' ? 20 : *end == 'G' ? 30 : 0;
    if (shift == 0 && *end != '\0') {
        return false;
    }
    *value = static_cast<uint64_t>(number) << shift;
    return true;
}

bool parse_range(const char* text, uint64_t* start, uint64_t* end) {
    char first[64];
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr || static_cast<size_t>(colon - text) >= sizeof first) {
        return false;
    }
    std::memcpy(first, text, static_cast<size_t>(colon - text));
    first[colon - text] = '\0';
    return parse_size(first, start) && parse_size(colon + 1, end) && *start < *end;
}

// Where the drive keeps the byte at offset, or -1 where it keeps nothing.
int64_t held_at(uint64_t offset) {
    if (offset < drive.holds) {
        return static_cast<int64_t>(offset);
    }
    if (drive.past != past_wrap) {
        return -1;
    }
    return static_cast<int64_t>(drive.low + (offset - drive.low) % (drive.holds - drive.low));
}

// The byte that a read past what the drive holds gives.
unsigned char unheld_byte(uint64_t offset) {
    return drive.past == past_ff    ? 0xFF
           : drive.past == past_old ? drive.old[offset - drive.holds]
                                    : 0x00;
}

// A worn area answers late.
void wait_if_slow(uint64_t start, size_t size) {
    if (start < drive.slow_end && start + size > drive.slow_start) {
        usleep(static_cast<useconds_t>(1000 * (size / 4096 + 1)));
    }
}

int get_attributes(const char* path, struct stat* status, fuse_file_info*) {
    std::memset(status, 0, sizeof *status);
    if (std::strcmp(path, "/") == 0) {
        status->st_mode = S_IFDIR | 0755;
        status->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, drive_path) != 0) {
        return -ENOENT;
    }
    status->st_mode = S_IFREG | 0600;
    status->st_nlink = 1;
    status->st_size = static_cast<off_t>(drive.claims);
    return 0;
}

int read_directory(const char* path, void* entries, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                   fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    fill(entries, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(entries, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(entries, drive_path + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int open_drive(const char* path, fuse_file_info* file) {
    if (std::strcmp(path, drive_path) != 0) {
        return -ENOENT;
    }
    file->direct_io = 1;
    return 0;
}

int read_drive(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= drive.claims) {
        return 0;
    }
    if (size > drive.claims - start) {
        size = static_cast<size_t>(drive.claims - start);
    }
    wait_if_slow(start, size);
    if (drive.past == past_errors && start + size > drive.holds) {
        // What lies below holds is read; the rest fails.
        if (start >= drive.holds) {
            return -EIO;
        }
        size = static_cast<size_t>(drive.holds - start);
    }
    for (size_t i = 0; i < size; ++i) {
        int64_t at = held_at(start + i);
        const unsigned char* cached =
            at < 0 && cache.sectors > 0 ? cache_read((start + i) / cache_sector) : nullptr;
        buffer[i] = static_cast<char>(at >= 0           ? drive.storage[at]
                                      : cached != nullptr ? cached[(start + i) % cache_sector]
                                                          : unheld_byte(start + i));
    }
    return static_cast<int>(size);
}

int write_drive(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= drive.claims) {
        return -ENOSPC;
    }
    if (size > drive.claims - start) {
        size = static_cast<size_t>(drive.claims - start);
    }
    wait_if_slow(start, size);
    for (size_t i = 0; i < size; ++i) {
        int64_t at = held_at(start + i);
        if (at >= 0) {
            drive.storage[at] = static_cast<unsigned char>(buffer[i]);
        } else if (cache.sectors > 0 && (start + i) % cache_sector == 0 && size - i >= cache_sector) {
            cache_write((start + i) / cache_sector,
                        reinterpret_cast<const unsigned char*>(buffer + i));
        }
    }
    return static_cast<int>(size);
}

int usage() {
    std::fputs("usage: fake_drive --claims N --holds N [--past zeros|ff|old|errors|wrap] "
               "[--low N] [--slow START:END] [--cache N] MOUNTPOINT [FUSE options]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    drive.past = past_zeros;
    uint64_t cache_bytes = 0;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(argv[i], "--claims") == 0 && value && parse_size(value, &drive.claims)) {
            ++i;
        } else if (std::strcmp(argv[i], "--holds") == 0 && value &&
                   parse_size(value, &drive.holds)) {
            ++i;
        } else if (std::strcmp(argv[i], "--low") == 0 && value && parse_size(value, &drive.low)) {
            ++i;
        } else if (std::strcmp(argv[i], "--cache") == 0 && value &&
                   parse_size(value, &cache_bytes)) {
            ++i;
        } else if (std::strcmp(argv[i], "--slow") == 0 && value &&
                   parse_range(value, &drive.slow_start, &drive.slow_end)) {
            ++i;
        } else if (std::strcmp(argv[i], "--past") == 0 && value) {
            bool known = false;
            for (const PastRow& row : past_rows) {
                if (std::strcmp(value, row.name) == 0) {
                    drive.past = row.past;
                    known = true;
                }
            }
            if (!known) {
                return usage();
            }
            ++i;
        } else {
            argv[kept++] = argv[i];
        }
    }
    if (drive.claims == 0 || drive.holds == 0 || drive.holds > drive.claims ||
        drive.low >= drive.holds) {
        return usage();
    }
    void* storage = mmap(nullptr, drive.holds, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (storage == MAP_FAILED) {
        std::perror("fake_drive: mmap");
        return 1;
    }
    drive.storage = static_cast<unsigned char*>(storage);
    cache.sectors = static_cast<size_t>(cache_bytes / cache_sector);
    cache.addresses.assign(cache.sectors, UINT64_MAX);
    cache.bytes.resize(cache.sectors * cache_sector);
    if (drive.past == past_old) {
        // An earlier fill: a run of its own, from the start of the drive.
        uint64_t size = (drive.claims - drive.holds + block_bytes - 1) / block_bytes * block_bytes;
        void* old = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (old == MAP_FAILED) {
            std::perror("fake_drive: mmap");
            return 1;
        }
        drive.old = static_cast<unsigned char*>(old);
        GeneratorState earlier = {{0x5EED0001, 0x5EED0002, 0x5EED0003, 0x5EED0004}, 0};
        for (uint64_t at = 0; at < size; at += block_bytes) {
            fill_block(&earlier, drive.old + at);
        }
    }
    fuse_operations operations = {};
    operations.getattr = get_attributes;
    operations.readdir = read_directory;
    operations.open = open_drive;
    operations.read = read_drive;
    operations.write = write_drive;
    return fuse_main(kept, argv, &operations, nullptr);
}
