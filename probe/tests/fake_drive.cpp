#include "fake_drive.h"

#include <cstring>

namespace {

bool fake_read(void* context, uint64_t offset, size_t length, unsigned char* buffer) {
    return read_fake_drive(static_cast<FakeDrive*>(context), offset, length, buffer) == length;
}

// Pieces read one after another, in order: the drive serves one request
// at a time.
void fake_read_many(FakeDrive* drive, const uint64_t* offsets, size_t count, size_t length,
                    unsigned char* buffer, bool* ok) {
    for (size_t k = 0; k < count; ++k) {
        ok[k] = fake_read(drive, offsets[k], length, buffer + k * length);
    }
}

bool fake_write(void* context, uint64_t offset, size_t length, const unsigned char* data) {
    return write_fake_drive(static_cast<FakeDrive*>(context), offset, length, data);
}

bool fake_flush(void* context) {
    return flush_fake_drive(static_cast<FakeDrive*>(context));
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
    if (landing > 0) { // an empty file has no buffer, which memcpy may not be given
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

ProbeDevice fake_device(FakeDrive* drive) {
    return {drive,
            drive->setup.claimed,
            reported_sector(&drive->setup),
            fake_read,
            fake_write,
            fake_flush,
            fake_seconds,
            nullptr,
            [](void* context, const uint64_t* offsets, size_t count, size_t length,
               unsigned char* buffer, bool* ok) {
                fake_read_many(static_cast<FakeDrive*>(context), offsets, count, length, buffer,
                               ok);
            }};
}

ProbeDevice fake_replugging_device(FakeReplug* replug) {
    ProbeDevice device = fake_device(replug->drive);
    device.context = replug;
    device.read = [](void* context, uint64_t offset, size_t length, unsigned char* buffer) {
        return fake_read(static_cast<FakeReplug*>(context)->drive, offset, length, buffer);
    };
    device.write = [](void* context, uint64_t offset, size_t length, const unsigned char* data) {
        return fake_write(static_cast<FakeReplug*>(context)->drive, offset, length, data);
    };
    device.flush = [](void* context) {
        return fake_flush(static_cast<FakeReplug*>(context)->drive);
    };
    device.seconds = [](void* context) {
        return fake_seconds(static_cast<FakeReplug*>(context)->drive);
    };
    device.read_many = [](void* context, const uint64_t* offsets, size_t count, size_t length,
                          unsigned char* buffer, bool* ok) {
        fake_read_many(static_cast<FakeReplug*>(context)->drive, offsets, count, length, buffer,
                       ok);
    };
    device.replug = [](void* context, const char* why) {
        FakeReplug* user = static_cast<FakeReplug*>(context);
        user->asked += 1;
        user->why = why;
        if (user->asked > user->comes_back) {
            return false;
        }
        replug_fake_drive(user->drive);
        if (user->other != nullptr) {
            user->drive = user->other;
        }
        return true;
    };
    return device;
}

BackupSink fake_backup_sink(FakeBackup* backup) {
    return {backup, fake_backup_write, fake_backup_flush};
}
