#include "probe_end.h"

#include "run_data.h"

#include <cstdio>
#include <cstring>

namespace probe_internal {

// The smallest drive worth probing.
constexpr uint64_t smallest_drive = 4 * mib;

// Refuses (false with message) a drive the probe cannot handle.
bool can_probe(const ProbeDevice* device, char* message, size_t capacity) {
    uint32_t sector = device->sector_size;
    if (sector < run_recognisable_bytes || sector % 4 != 0 || io_chunk % sector != 0) {
        std::snprintf(message, capacity, "a sector size of %u bytes is not one the probe handles",
                      sector);
        return false;
    }
    if (device->size < smallest_drive) {
        std::snprintf(message, capacity, "the drive is smaller than the probe needs (%llu bytes)",
                      static_cast<unsigned long long>(smallest_drive));
        return false;
    }
    return true;
}

// How the probe ended, and its message for a stop request.
void settle_end(Probe* probe) {
    ProbeResult* result = probe->result;
    result->end = probe->failed    ? probe->failed_how
                  : probe->stopped ? probe_stopped_by_request
                                   : probe_finished;
    if (result->end == probe_stopped_by_request) {
        std::snprintf(probe->message, probe->capacity, "stopped on request");
        std::snprintf(result->stop_reason, sizeof result->stop_reason, "stopped on request");
    }
    if (result->end != probe_finished) {
        // Nothing is known of the capacity: no part answer stands for one.
        result->capacity = 0;
        result->past = past_nothing;
        result->wrap_distance = result->low_area = 0;
        result->cache_measured = false;
        result->cache_bytes = result->cache_at_most = 0;
        result->unstable = false;
        result->second_capacity = result->disagreed_at = 0;
    }
}

// Writes back what was saved, once the probe writes nothing more (the
// backup closed first, so that a kill during the restore leaves a backup
// that shows it is whole); the message says what was left.
void restore_at_end(Probe* probe) {
    ProbeResult* result = probe->result;
    const ProbeOptions* options = probe->options;
    uint64_t trusted = result->end != probe_finished ? probe->size
                       : result->unstable ? std::min(result->capacity, result->second_capacity)
                                          : result->capacity;
    if (probe->journal.failure == nullptr) {
        backup_close(&probe->journal, trusted);
    }
    // A drive that turned read-only or stopped answering, not plugged in
    // again: nothing can be written back now; the backup holds it all.
    bool writable = (probe->event == past_nothing || probe->back) && !probe->foreign;
    result->restored = writable && restore_saved(probe->device, &options->run, &probe->saved,
                                                 trusted, &result->restore);
    if (!writable) {
        size_t used = std::strlen(probe->message);
        if (probe->foreign) { // the failure says so; the backup holds the data
            return;
        }
        std::snprintf(probe->message + used, probe->capacity - used,
                      "%sthe drive %s: unplug it, plug it in again and restore its data from the"
                      " backup",
                      used > 0 ? "; " : "",
                      probe->event == past_gone ? "stopped answering" : "turned read-only");
        return;
    }
    if (!result->restored) {
        size_t used = std::strlen(probe->message);
        std::snprintf(probe->message + used, probe->capacity - used,
                      "%sthe drive's data was not all restored (%llu ranges left%s); the backup"
                      " holds it",
                      used > 0 ? "; " : "",
                      static_cast<unsigned long long>(result->restore.left.size()),
                      result->restore.device_failed ? ", the drive failed" : "");
    }
}

} // namespace probe_internal
