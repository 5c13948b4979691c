// What the probe needs of a drive, and of the place its backup goes: plain
// structs of function pointers over a context, so that the probe runs the
// same over a block device, a Windows physical drive or a fake in memory.
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
};

// Where the saved sectors go before the drive is written: appended bytes,
// and a flush that returns only when they are safe on their own storage.
struct BackupSink {
    void* context;
    bool (*append)(void* context, const unsigned char* bytes, size_t size);
    bool (*flush)(void* context);
};
