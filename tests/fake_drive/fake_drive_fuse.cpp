// A drive that lies, for the tests and bench/probe: a FUSE file system with
// one file, "drive", that serves the fake drive model (fake_drive_model.h).
// A loop device over that file stands for a fake USB stick or memory card.
//
//   fake_drive --claims N --holds N [--past KIND] [--low N] [--slow START:END]
//              [--cache N] [--read-speed MB/S:MS] [--write-speed MB/S:MS]
//              [--fast-writes N:MB/S] MOUNTPOINT [FUSE options]
//
// The options are the rows of option_rows below, --past's kinds those of
// past_rows. Bytes below --holds are kept in memory. Past it, writes are
// dropped and reads give zeros or FF bytes, what an earlier fill by sprayl
// left there (old), read errors, other data each time (other) or the bytes
// held lower down (mirror); or (wrap) the offsets wrap around onto the
// bytes held, all of them or (--low N) those above a low area of N bytes
// that is kept apart, as some fakes keep their file system's tables.
// Requests that touch [START, END) take a millisecond longer, and another
// per 4 KiB, as a worn area does. With --cache N, the last N bytes written
// are answered from the drive's own memory until later writes push them
// out, as the RAM of a fake's controller does. Every read and write reaches
// the daemon (direct_io), so the drive's behaviour is never hidden by the
// page cache of its file; the daemon serves one request at a time.
#define FUSE_USE_VERSION 31

#include "fake_drive_model.h"

#include <fuse.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

FakeDrive drive;

const char drive_path[] = "/drive";

// --past: what becomes of the addresses past what the drive holds, and what
// they held before.
struct PastRow {
    const char* name;
    FakeBehaviour behaviour;
    FakeContent content;
};

const PastRow past_rows[] = {
    {"zeros", fake_drops_zeros, content_zeros}, {"ff", fake_drops_ones, content_zeros},
    {"old", fake_drops_old, content_other_run}, {"errors", fake_fails_reads, content_zeros},
    {"wrap", fake_wraps, content_zeros},        {"other", fake_drops_other, content_zeros},
    {"mirror", fake_mirrors, content_zeros},
};

// A size in bytes, with K, M or G for the powers of 1024.
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

// "MB/S:MS": a rate in MB a second, and milliseconds an access.
bool parse_speed(const char* text, FakeSpeed* speed) {
    char* end = nullptr;
    double rate = std::strtod(text, &end);
    if (end == text || *end != ':' || !(rate > 0)) {
        return false;
    }
    const char* milliseconds = end + 1;
    double access = std::strtod(milliseconds, &end);
    if (end == milliseconds || *end != '\0' || access < 0) {
        return false;
    }
    *speed = {access / 1000, rate * 1e6};
    return true;
}

// "N:MB/S": the bytes written fast, and their rate.
bool parse_fast_writes(const char* text, FakeDriveSetup* setup) {
    char first[64];
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr || static_cast<size_t>(colon - text) >= sizeof first) {
        return false;
    }
    std::memcpy(first, text, static_cast<size_t>(colon - text));
    first[colon - text] = '\0';
    char* end = nullptr;
    double rate = std::strtod(colon + 1, &end);
    setup->fast_write_speed = {0, rate * 1e6};
    return parse_size(first, &setup->fast_bytes) && *end == '\0' && rate > 0;
}

bool parse_past(const char* text, FakeDriveSetup* setup) {
    for (const PastRow& row : past_rows) {
        if (std::strcmp(text, row.name) == 0) {
            setup->behaviour = row.behaviour;
            setup->content = row.content;
            return true;
        }
    }
    return false;
}

struct OptionRow {
    const char* name;
    const char* value; // for the usage
    const char* what;
    bool (*parse)(const char* text, FakeDriveSetup* setup);
};

const OptionRow option_rows[] = {
    {"--claims", "N", "bytes it says it holds (K, M, G: powers of 1024)",
     [](const char* text, FakeDriveSetup* setup) { return parse_size(text, &setup->claimed); }},
    {"--holds", "N", "bytes it holds",
     [](const char* text, FakeDriveSetup* setup) { return parse_size(text, &setup->real); }},
    {"--past", "KIND", "what becomes of the bytes past what it holds (zeros)", parse_past},
    {"--low", "N", "wrap: the bytes at the start kept apart",
     [](const char* text, FakeDriveSetup* setup) { return parse_size(text, &setup->low); }},
    {"--slow", "START:END", "the bytes of a worn area, slow to answer",
     [](const char* text, FakeDriveSetup* setup) {
         return parse_range(text, &setup->slow_start, &setup->slow_end);
     }},
    {"--cache", "N", "bytes of the latest writes it answers from its memory",
     [](const char* text, FakeDriveSetup* setup) { return parse_size(text, &setup->cache); }},
    {"--read-speed", "MB/S:MS", "each read: an access of MS, its bytes at MB/S",
     [](const char* text, FakeDriveSetup* setup) { return parse_speed(text, &setup->read_speed); }},
    {"--write-speed", "MB/S:MS", "each write: an access of MS, its bytes at MB/S",
     [](const char* text, FakeDriveSetup* setup) {
         return parse_speed(text, &setup->write_speed);
     }},
    {"--fast-writes", "N:MB/S", "the first N bytes written go at MB/S", parse_fast_writes},
};

int usage() {
    std::fputs("usage: fake_drive OPTION... MOUNTPOINT [FUSE options]\n", stderr);
    for (const OptionRow& row : option_rows) {
        std::string option = std::string(row.name) + " " + row.value;
        std::fprintf(stderr, "  %-18s %s\n", option.c_str(), row.what);
    }
    std::fputs("  KIND:", stderr);
    for (const PastRow& row : past_rows) {
        std::fprintf(stderr, " %s", row.name);
    }
    std::fputs("\n", stderr);
    return 2;
}

// The options of the table into setup, the others kept in arguments (the
// program's name first); false where one is wrong.
bool parse_options(int argc, char** argv, FakeDriveSetup* setup, std::vector<char*>* arguments) {
    arguments->push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const OptionRow* found = nullptr;
        for (const OptionRow& row : option_rows) {
            found = std::strcmp(argv[i], row.name) == 0 ? &row : found;
        }
        if (found == nullptr) {
            arguments->push_back(argv[i]);
        } else if (i + 1 == argc || !found->parse(argv[++i], setup)) {
            return false;
        }
    }
    return true;
}

// The time the drive's model gave an access since before, spent.
void take_time(double before) {
    double seconds = drive.clock - before;
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
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
    status->st_size = static_cast<off_t>(drive.setup.claimed);
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

// As a file: nothing past the claim; a read that fails part way gives
// what came before the failure.
int read_drive(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= drive.setup.claimed || size == 0) {
        return 0;
    }
    if (size > drive.setup.claimed - start) {
        size = static_cast<size_t>(drive.setup.claimed - start);
    }
    double before = drive.clock;
    size_t done = read_fake_drive(&drive, start, size, reinterpret_cast<unsigned char*>(buffer));
    take_time(before);
    return done == 0 ? -EIO : static_cast<int>(done);
}

int write_drive(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= drive.setup.claimed) {
        return -ENOSPC;
    }
    if (size > drive.setup.claimed - start) {
        size = static_cast<size_t>(drive.setup.claimed - start);
    }
    double before = drive.clock;
    bool written =
        write_fake_drive(&drive, start, size, reinterpret_cast<const unsigned char*>(buffer));
    take_time(before);
    return written ? static_cast<int>(size) : -EIO;
}

} // namespace

int main(int argc, char** argv) {
    FakeDriveSetup setup = {"fake_drive", 0, 0, 0, fake_drops_zeros, 512, 0, content_zeros};
    setup.read_speed = no_time;
    setup.write_speed = no_time;
    std::vector<char*> arguments;
    if (!parse_options(argc, argv, &setup, &arguments)) {
        return usage();
    }
    const char* fault = fake_drive_setup_fault(&setup);
    if (fault != nullptr) {
        std::fprintf(stderr, "fake_drive: %s\n", fault);
        return usage();
    }
    make_fake_drive(&drive, &setup);
    // The model serves one request at a time.
    char single_threaded[] = "-s";
    arguments.push_back(single_threaded);
    fuse_operations operations = {};
    operations.getattr = get_attributes;
    operations.readdir = read_directory;
    operations.open = open_drive;
    operations.read = read_drive;
    operations.write = write_drive;
    return fuse_main(static_cast<int>(arguments.size()), arguments.data(), &operations, nullptr);
}
