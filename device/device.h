// What the probe needs of a drive, and of the place its backup goes: plain
// structs of function pointers over a context, so that the probe runs the
// same over a block device, a regular file standing for a drive, a Windows
// physical drive or a fake in memory. Below both the probe, which uses
// them, and the system layer, which hands them out: neither includes the
// other's headers.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProbeDevice {
    void* context;
    uint64_t size;        // bytes the drive claims to hold
    uint32_t sector_size; // every offset and length is a multiple of it
    // Each returns false when the drive reports an error.
    bool (*read)(void* context, uint64_t offset, size_t length, unsigned char* buffer);
    bool (*write)(void* context, uint64_t offset, size_t length, const unsigned char* buffer);
    bool (*flush)(void* context);
    // A monotonic clock in seconds, for the rates: the system's, or a
    // fake's simulated one.
    double (*seconds)(void* context);
    // Asks the user to unplug the drive and plug it in again (why says
    // what for), waits until the same drive is back, under any name, and
    // goes on with it: no cache of the drive's survives that, and a drive
    // that stopped taking writes or answering takes them again. False
    // when it is not back (no one to ask, a stop request, too long);
    // null where no replug can be asked for.
    bool (*replug)(void* context, const char* why);
    // Reads count pieces of length bytes, at offsets[k] into buffer + k *
    // length, several in flight at once where the drive can take them;
    // ok[k] tells whether piece k was read. Null: the probe reads them one
    // by one with read.
    void (*read_many)(void* context, const uint64_t* offsets, size_t count, size_t length,
                      unsigned char* buffer, bool* ok);
};

// Where the saved sectors go before the drive is written: a new file of
// its own, written at offsets (appended to, and a small field near its
// start rewritten), and a flush that returns only when what was written
// is safe on its own storage.
struct BackupSink {
    void* context;
    bool (*write)(void* context, uint64_t offset, const unsigned char* bytes, size_t size);
    bool (*flush)(void* context);
};
