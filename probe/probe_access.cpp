#include "probe_access.h"

#include "run_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace probe_internal {

namespace {

void add_interval(Intervals* set, uint64_t start, uint64_t end) {
    auto next = set->upper_bound(start);
    if (next != set->begin()) {
        auto before = std::prev(next);
        if (before->second >= start) {
            start = before->first;
            end = std::max(end, before->second);
            next = set->erase(before);
        }
    }
    while (next != set->end() && next->first <= end) {
        end = std::max(end, next->second);
        next = set->erase(next);
    }
    (*set)[start] = end;
}

// The parts of [start, end) that set does not cover.
std::vector<std::pair<uint64_t, uint64_t>> uncovered(const Intervals* set, uint64_t start,
                                                     uint64_t end) {
    std::vector<std::pair<uint64_t, uint64_t>> parts;
    auto next = set->upper_bound(start);
    if (next != set->begin() && std::prev(next)->second > start) {
        start = std::prev(next)->second;
    }
    for (; start < end && next != set->end() && next->first < end; ++next) {
        if (next->first > start) {
            parts.push_back({start, next->first});
        }
        start = std::max(start, next->second);
    }
    if (start < end) {
        parts.push_back({start, end});
    }
    return parts;
}

bool timed_read(Probe* probe, uint64_t offset, size_t length, unsigned char* buffer) {
    const ProbeDevice* device = probe->device;
    double start = device->seconds(device->context);
    bool ok = device->read(device->context, offset, length, buffer);
    probe->result->read_seconds += device->seconds(device->context) - start;
    probe->result->reads += 1;
    probe->result->bytes_read += ok ? length : 0;
    return ok;
}

bool fail_at(Probe* probe, const char* what, uint64_t offset) {
    char text[128];
    std::snprintf(text, sizeof text, "%s at byte %llu", what,
                  static_cast<unsigned long long>(offset));
    return fail(probe, probe_stopped_by_drive, text);
}

// A write the drive failed, where it had taken one before: a drive that
// stopped answering fails a read of the place it took first too, one that
// turned read-only reads it but fails to write it again. Either ends the
// search (the drive is marked failed, so that everything stops), as the
// drive's answer; anything else stops the probe.
bool judge_failed_write(Probe* probe, uint64_t offset, size_t length) {
    const ProbeDevice* device = probe->device;
    if (probe->failed || probe->write_log.empty()) {
        return fail_at(probe, "the drive failed a write", offset);
    }
    uint64_t first = probe->write_log.front().offset;
    size_t sector = static_cast<size_t>(probe->sector);
    std::vector<unsigned char> bytes(sector);
    if (!device->read(device->context, first, sector, bytes.data())) {
        probe->event = past_gone;
    } else {
        run_bytes(&probe->options->run, first, sector, bytes.data());
        if (device->write(device->context, first, sector, bytes.data())) {
            return fail_at(probe, "the drive failed a write", offset);
        }
        probe->event = past_read_only;
    }
    probe->event_at = offset + length - probe->sector;
    return fail_at(probe,
                   probe->event == past_gone ? "the drive stopped answering at a write"
                                             : "the drive turned read-only at a write",
                   offset);
}

bool write_device(Probe* probe, uint64_t offset, size_t length, const unsigned char* data) {
    const ProbeDevice* device = probe->device;
    double start = device->seconds(device->context);
    bool ok = device->write(device->context, offset, length, data);
    probe->result->write_seconds += device->seconds(device->context) - start;
    probe->result->writes += 1;
    probe->result->bytes_written += ok ? length : 0;
    if (ok) {
        probe->write_log.push_back({offset, length, probe->written_total});
        probe->written_total += length;
    }
    return ok || judge_failed_write(probe, offset, length);
}

bool flush_device(Probe* probe) {
    const ProbeDevice* device = probe->device;
    double start = device->seconds(device->context);
    bool ok = device->flush(device->context);
    probe->result->write_seconds += device->seconds(device->context) - start;
    return ok || fail(probe, probe_stopped_by_drive, "the drive failed a flush");
}

// Saves what the parts of [offset, offset + length) not saved before hold:
// in memory and as backup records. False when the drive failed the read
// (the range must then not be written).
bool save_range(Probe* probe, uint64_t offset, uint64_t length) {
    for (auto part : uncovered(&probe->saved_ranges, offset, offset + length)) {
        for (uint64_t at = part.first; at < part.second; at += io_chunk) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(io_chunk, part.second - at));
            if (!read_device(probe, at, piece, probe->buffer.data())) {
                return false;
            }
            if (!backup_append(&probe->journal, at, static_cast<uint32_t>(piece),
                               probe->buffer.data())) {
                return backup_failed(probe);
            }
            probe->saved_by_offset[at] = probe->saved.ranges.size();
            probe->saved.ranges.push_back(
                {at, static_cast<uint32_t>(piece), probe->saved.bytes.size()});
            probe->saved.bytes.insert(probe->saved.bytes.end(), probe->buffer.begin(),
                                      probe->buffer.begin() + static_cast<ptrdiff_t>(piece));
            probe->result->bytes_saved += piece;
            add_interval(&probe->saved_ranges, at, at + piece);
        }
    }
    return true;
}

void write_run_range(Probe* probe, Range range) {
    for (uint64_t at = range.offset; at < range.offset + range.length && !probe->failed;
         at += io_chunk) {
        size_t piece =
            static_cast<size_t>(std::min<uint64_t>(io_chunk, range.offset + range.length - at));
        run_bytes(&probe->options->run, at, piece, probe->buffer.data());
        write_device(probe, at, piece, probe->buffer.data());
    }
    add_interval(&probe->written_ranges, range.offset, range.offset + range.length);
}

bool is_filled_with(const unsigned char* data, size_t size, unsigned char value) {
    for (size_t k = 0; k < size; ++k) {
        if (data[k] != value) {
            return false;
        }
    }
    return true;
}

bool equals_saved(const Probe* probe, uint64_t address, const unsigned char* data) {
    auto found = probe->saved_by_offset.upper_bound(address);
    if (found == probe->saved_by_offset.begin()) {
        return false;
    }
    const SavedRange* range = &probe->saved.ranges[std::prev(found)->second];
    return address < range->offset + range->length &&
           std::memcmp(probe->saved.bytes.data() + range->at + (address - range->offset), data,
                       static_cast<size_t>(probe->sector)) == 0;
}

} // namespace

bool intersects(const Intervals* set, uint64_t start, uint64_t end) {
    auto next = set->lower_bound(end);
    return next != set->begin() && std::prev(next)->second > start;
}

// Marks the probe failed (it stops and restores) with the first failure's
// message and cause.
bool fail(Probe* probe, ProbeEnd how, const char* what) {
    if (!probe->failed) {
        std::snprintf(probe->message, probe->capacity, "%s", what);
        std::snprintf(probe->result->stop_reason, sizeof probe->result->stop_reason, "%s", what);
        probe->failed_how = how;
    }
    probe->failed = true;
    return false;
}

// A read that fails is tried once more: a drive whose reads fail past its
// capacity fails again, and that is what it does there; one that answers
// the second time failed by chance, and the probe cannot trust what it
// reads: it stops.
bool read_device(Probe* probe, uint64_t offset, size_t length, unsigned char* buffer) {
    if (timed_read(probe, offset, length, buffer)) {
        return true;
    }
    if (timed_read(probe, offset, length, buffer)) {
        fail_at(probe, "the drive failed a read, then answered it", offset);
    }
    return false;
}

uint64_t write_age(const Probe* probe, uint64_t address) {
    for (size_t k = probe->write_log.size(); k-- > 0;) {
        const WriteEntry* entry = &probe->write_log[k];
        if (address >= entry->offset && address - entry->offset < entry->length) {
            return probe->written_total - entry->position - (address - entry->offset);
        }
    }
    return never_written;
}

// The sector whose last write has this age, or never_written when the
// sector written then was written again later.
uint64_t address_of_age(const Probe* probe, uint64_t age) {
    if (age == 0 || age > probe->written_total) {
        return never_written;
    }
    uint64_t position = probe->written_total - age;
    auto entry =
        std::upper_bound(probe->write_log.begin(), probe->write_log.end(), position,
                         [](uint64_t at, const WriteEntry& write) { return at < write.position; });
    uint64_t address = std::prev(entry)->offset + (position - std::prev(entry)->position);
    return write_age(probe, address) == age ? address : never_written;
}

bool should_stop(Probe* probe) {
    const volatile std::sig_atomic_t* stop = probe->options->stop_requested;
    if (stop != nullptr && *stop != 0) {
        probe->stopped = true;
    }
    return probe->stopped || probe->failed;
}

// A failed backup stops the probe: nothing is written that is not saved.
bool backup_failed(Probe* probe) {
    char text[64];
    std::snprintf(text, sizeof text, "the backup failed %s", probe->journal.failure);
    return fail(probe, probe_stopped_by_backup, text);
}

// Saves the ranges, commits the backup, then writes the run's data to them
// in the order given. written[k] tells whether range k was written: a range
// the drive could not read for saving is left alone.
std::vector<char> save_and_write(Probe* probe, const std::vector<Range>& ranges) {
    std::vector<char> written(ranges.size(), 1);
    if (!probe->options->destructive) {
        for (size_t k = 0; k < ranges.size() && !probe->failed; ++k) {
            written[k] = save_range(probe, ranges[k].offset, ranges[k].length) ? 1 : 0;
        }
        if (!probe->failed && !backup_commit(&probe->journal)) {
            backup_failed(probe);
        }
    }
    for (size_t k = 0; k < ranges.size() && !probe->failed; ++k) {
        if (written[k] != 0) {
            write_run_range(probe, ranges[k]);
        }
    }
    if (!probe->failed) {
        flush_device(probe);
    }
    return written;
}

Observation classify(const Probe* probe, uint64_t address, const unsigned char* data) {
    size_t sector = static_cast<size_t>(probe->sector);
    uint64_t named = 0;
    if (is_filled_with(data, sector, 0)) {
        return {address, sector_zeros, 0};
    }
    if (is_filled_with(data, sector, 0xFF)) {
        return {address, sector_ones, 0};
    }
    if (find_run_offset(&probe->options->run, data, sector, probe->size, &named)) {
        return {address, named == address ? sector_own : sector_moved, named};
    }
    if (equals_saved(probe, address, data)) {
        return {address, sector_old, 0};
    }
    return {address, sector_other, 0};
}

Observation look_at(Probe* probe, uint64_t address) {
    if (!read_device(probe, address, static_cast<size_t>(probe->sector), probe->buffer.data())) {
        return {address, sector_unreadable, 0};
    }
    return classify(probe, address, probe->buffer.data());
}

uint64_t align_down(uint64_t value, uint64_t unit) {
    return value - value % unit;
}

} // namespace probe_internal
