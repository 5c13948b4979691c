#include "probe_access.h"

#include "run_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

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

// Reads count pieces of length bytes at offsets into out, several in
// flight where the drive can take them; ok[k] tells whether piece k was
// read. A piece that fails is read once more, as read_device does.
void read_pieces(Probe* probe, const uint64_t* offsets, size_t count, size_t length,
                 unsigned char* out, bool* ok) {
    const ProbeDevice* device = probe->device;
    if (device->read_many == nullptr) {
        for (size_t k = 0; k < count; ++k) {
            ok[k] = read_device(probe, offsets[k], length, out + k * length);
        }
        return;
    }
    double start = device->seconds(device->context);
    device->read_many(device->context, offsets, count, length, out, ok);
    probe->result->read_seconds += device->seconds(device->context) - start;
    probe->result->reads += count;
    for (size_t k = 0; k < count; ++k) {
        probe->result->bytes_read += ok[k] ? length : 0;
        if (!ok[k] && timed_read(probe, offsets[k], length, out + k * length)) {
            fail_at(probe, "the drive failed a read, then answered it", offsets[k]);
        }
    }
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

// A piece of a range to save: at most io_chunk bytes not saved before.
struct SavePiece {
    size_t range;
    uint64_t offset;
    size_t length;
};

// Saves one piece read from the drive: in memory and as a backup record.
bool save_piece(Probe* probe, const SavePiece* piece, const unsigned char* data) {
    if (!backup_append(&probe->journal, piece->offset, static_cast<uint32_t>(piece->length),
                       data)) {
        return backup_failed(probe);
    }
    probe->saved_by_offset[piece->offset] = probe->saved.ranges.size();
    probe->saved.ranges.push_back(
        {piece->offset, static_cast<uint32_t>(piece->length), probe->saved.bytes.size()});
    probe->saved.bytes.insert(probe->saved.bytes.end(), data, data + piece->length);
    probe->result->bytes_saved += piece->length;
    add_interval(&probe->saved_ranges, piece->offset, piece->offset + piece->length);
    return true;
}

// Reads pieces of one length together, then saves them in order; a range
// one of whose pieces the drive could not read is marked not to be
// written, and the rest of it is not saved.
void save_pieces(Probe* probe, const SavePiece* pieces, size_t count, std::vector<char>* written) {
    size_t length = pieces[0].length;
    std::vector<uint64_t> offsets(count);
    for (size_t k = 0; k < count; ++k) {
        offsets[k] = pieces[k].offset;
    }
    std::vector<unsigned char>* data = &probe->batch;
    data->resize(std::max(data->size(), count * length));
    std::unique_ptr<bool[]> ok(new bool[count]);
    read_pieces(probe, offsets.data(), count, length, data->data(), ok.get());
    for (size_t k = 0; k < count && !probe->failed; ++k) {
        char* range_written = &(*written)[pieces[k].range];
        if (*range_written != 0 && !ok[k]) {
            *range_written = 0;
        } else if (*range_written != 0) {
            save_piece(probe, &pieces[k], data->data() + k * length);
        }
    }
}

// The bytes of pieces read at once when saving.
constexpr size_t save_batch_bytes = 16 * mib;

// Saves what the ranges hold where nothing was saved before: in memory and
// as backup records, the pieces of one length read several at a time.
// written[k] becomes false where the drive failed a read of range k (it
// must then not be written).
void save_ranges(Probe* probe, const std::vector<Range>& ranges, std::vector<char>* written) {
    Intervals planned = probe->saved_ranges;
    std::vector<SavePiece> pieces;
    for (size_t k = 0; k < ranges.size(); ++k) {
        uint64_t end = ranges[k].offset + ranges[k].length;
        for (auto part : uncovered(&planned, ranges[k].offset, end)) {
            for (uint64_t at = part.first; at < part.second; at += io_chunk) {
                pieces.push_back(
                    {k, at, static_cast<size_t>(std::min<uint64_t>(io_chunk, part.second - at))});
            }
        }
        add_interval(&planned, ranges[k].offset, end);
    }
    for (size_t first = 0; first < pieces.size() && !probe->failed;) {
        size_t last = first + 1;
        while (last < pieces.size() && pieces[last].length == pieces[first].length &&
               (last - first + 1) * pieces[first].length <= save_batch_bytes) {
            ++last;
        }
        save_pieces(probe, &pieces[first], last - first, written);
        first = last;
    }
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
        save_ranges(probe, ranges, &written);
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

std::vector<Observation> look_at_all(Probe* probe, const std::vector<uint64_t>& addresses) {
    size_t sector = static_cast<size_t>(probe->sector);
    std::vector<Observation> seen;
    seen.reserve(addresses.size());
    std::vector<unsigned char>* data = &probe->batch;
    data->resize(std::max(data->size(), looks_at_once * sector));
    bool ok[looks_at_once];
    for (size_t first = 0; first < addresses.size(); first += looks_at_once) {
        size_t count = std::min(looks_at_once, addresses.size() - first);
        read_pieces(probe, &addresses[first], count, sector, data->data(), ok);
        for (size_t k = 0; k < count; ++k) {
            uint64_t address = addresses[first + k];
            seen.push_back(ok[k] ? classify(probe, address, data->data() + k * sector)
                                 : Observation{address, sector_unreadable, 0});
        }
    }
    return seen;
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
