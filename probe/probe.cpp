#include "probe.h"

#include "run_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr uint64_t mib = uint64_t{1} << 20;
// The largest single read or write.
constexpr size_t io_chunk = mib;
// The smallest drive worth probing.
constexpr uint64_t smallest_drive = 4 * mib;
// The top of the drive written at once, to push a cache out. The first
// pass writes single sectors only, which a fake without a cache already
// gives away; then a small witness; where everything read back as written,
// the witness doubles downwards up to the larger size before the drive is
// called genuine. A drive that loses writes past its capacity answers reads
// of the latest ones from its cache: a witness no larger than that cache
// would read back whole. Fakes have been seen with caches of 32 MiB, so the
// grown witness is twice that.
constexpr uint64_t first_witness = 8 * mib;
constexpr uint64_t smallest_witness = 64 * mib;
// The witness as a fraction of the drive, at most largest_witness (it is
// saved in memory too); the scan reads one sector every witness across the
// drive.
constexpr uint64_t witness_fraction = 4096;
constexpr uint64_t largest_witness = 128 * mib;
// The witness is read back every this many bytes.
constexpr uint64_t witness_read_stride = 64 * 1024;
// The scan reads every witness_read_stride over this many witnesses' worth
// of the drive's low end.
constexpr uint64_t fine_scan_witnesses = 16;
// Places tested in one round of a search. A round costs a flush of the
// backup and of the drive, and a read and a write per place; where each
// round must also push a cache out, fewer and larger rounds cost less.
constexpr int64_t round_places = 127;
constexpr int64_t unpushed_round_places = 15;
constexpr int64_t pushed_round_places = 1023;
// The stretch that the cache is measured with, and the largest cache measured.
constexpr uint64_t cache_stretch = 4 * mib;
constexpr uint64_t largest_cache_measured = 64 * mib;
// A cache bounded this closely by the first pass's reads is not measured
// with writes.
constexpr uint64_t closely_enough = 64 * 1024;

// Byte ranges [start, end), disjoint and merged.
using Intervals = std::map<uint64_t, uint64_t>;

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

bool intersects(const Intervals* set, uint64_t start, uint64_t end) {
    auto next = set->lower_bound(end);
    return next != set->begin() && std::prev(next)->second > start;
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

struct Range {
    uint64_t offset;
    uint64_t length;
};

// What one sector read back as.
enum SectorKind {
    sector_own,   // the run's data written at this address
    sector_moved, // the run's data written at another address
    sector_zeros,
    sector_ones,
    sector_old, // what it held before the probe wrote it
    sector_other,
    sector_unreadable,
};

struct Observation {
    uint64_t address;
    SectorKind kind;
    uint64_t named; // sector_moved: the address its data was written to
};

// One write to the drive: position counts the bytes written before it.
struct WriteEntry {
    uint64_t offset;
    uint64_t length;
    uint64_t position;
};

struct Probe {
    const ProbeDevice* device;
    BackupJournal journal;
    const ProbeOptions* options;
    ProbeResult* result;
    uint64_t size; // the claimed size in whole sectors
    uint64_t sector;
    SavedData saved;
    Intervals saved_ranges;
    std::map<uint64_t, size_t> saved_by_offset; // a saved range's offset: its index
    Intervals written_ranges;
    std::vector<WriteEntry> write_log; // every write, in order
    uint64_t written_total;            // bytes written so far
    std::vector<unsigned char> buffer;
    bool failed;         // the drive or the backup failed: stop and restore
    ProbeEnd failed_how; // which: probe_stopped_by_drive or probe_stopped_by_backup
    bool stopped;        // a stop request
    char* message;
    size_t capacity;
};

// ---- Counted access to the drive. ----

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

bool fail_at(Probe* probe, const char* what, uint64_t offset) {
    char text[128];
    std::snprintf(text, sizeof text, "%s at byte %llu", what,
                  static_cast<unsigned long long>(offset));
    return fail(probe, probe_stopped_by_drive, text);
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
    return ok || fail_at(probe, "the drive failed a write", offset);
}

// ---- The age of a write: the bytes written since the sector's last
// write began, its own included. A cache of the latest K bytes written
// answers for a sector while its age is at most K. ----

constexpr uint64_t never_written = UINT64_MAX;

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

bool flush_device(Probe* probe) {
    const ProbeDevice* device = probe->device;
    double start = device->seconds(device->context);
    bool ok = device->flush(device->context);
    probe->result->write_seconds += device->seconds(device->context) - start;
    return ok || fail(probe, probe_stopped_by_drive, "the drive failed a flush");
}

bool should_stop(Probe* probe) {
    const volatile std::sig_atomic_t* stop = probe->options->stop_requested;
    if (stop != nullptr && *stop != 0) {
        probe->stopped = true;
    }
    return probe->stopped || probe->failed;
}

// ---- Saving before writing. ----

// A failed backup stops the probe: nothing is written that is not saved.
bool backup_failed(Probe* probe) {
    char text[64];
    std::snprintf(text, sizeof text, "the backup failed %s", probe->journal.failure);
    return fail(probe, probe_stopped_by_backup, text);
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

// ---- Reading back. ----

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

// ---- Where to look. ----

uint64_t align_down(uint64_t value, uint64_t unit) {
    return value - value % unit;
}

uint64_t witness_size(uint64_t size, uint64_t sector, uint64_t smallest) {
    uint64_t witness = std::max(smallest, size / witness_fraction);
    witness = std::min({witness, largest_witness, size / 8});
    return std::max(align_down(witness, sector), sector);
}

// Single sectors below the witness: the start, powers of two from 1 MiB,
// sixteenths of the drive and the sector just below the witness.
std::vector<uint64_t> sample_places(uint64_t witness_start, uint64_t size, uint64_t sector) {
    std::vector<uint64_t> places = {0, witness_start - sector};
    for (uint64_t place = mib; place < witness_start; place *= 2) {
        places.push_back(place);
    }
    for (uint64_t k = 1; k < 16; ++k) {
        places.push_back(align_down(size / 16 * k, sector));
    }
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    places.erase(std::lower_bound(places.begin(), places.end(), witness_start), places.end());
    return places;
}

PastCapacity past_of(SectorKind kind) {
    switch (kind) {
    case sector_zeros:
        return past_zeros;
    case sector_ones:
        return past_ones;
    case sector_old:
        return past_old_data;
    case sector_unreadable:
        return past_read_errors;
    case sector_moved:
        return past_wraps;
    case sector_own:
        return past_nothing;
    case sector_other:
        break;
    }
    return past_other_data;
}

uint64_t greatest_common_divisor(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

// Up to places sector indices in (low, high], evenly spread, high the
// last.
std::vector<int64_t> round_points(int64_t low, int64_t high, int64_t places) {
    int64_t count = std::min(places, high - low);
    std::vector<int64_t> points;
    for (int64_t k = 1; k <= count; ++k) {
        points.push_back(low + ((high - low) * k + count - 1) / count);
    }
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

// ---- Wrap-around: address m from the capacity up shares storage with
// m - distance, so writing m and reading m - distance (never written, so
// no cache answers for it) tells whether m is past the capacity. ----

// Writes address and reads address - distance: whether the write landed
// there.
bool lands_below(Probe* probe, uint64_t address, uint64_t distance) {
    std::vector<char> written = save_and_write(probe, {{address, probe->sector}});
    Observation partner = look_at(probe, address - distance);
    return written[0] != 0 && partner.kind == sector_moved && partner.named == address;
}

// The capacity, or 0 when a write to the address found does not land
// distance below it: then reads there only show lower storage, and writes
// are lost.
uint64_t search_wrapped_capacity(Probe* probe, uint64_t distance, uint64_t known_past) {
    int64_t sector = static_cast<int64_t>(probe->sector);
    int64_t step = static_cast<int64_t>(distance) / sector;
    int64_t low = step - 1; // the capacity is at least the distance
    int64_t high = static_cast<int64_t>(known_past) / sector;
    while (high - low > 1 && !should_stop(probe)) {
        // Places of one round less than the distance apart cannot reach
        // each other's storage.
        int64_t top = std::min(high - 1, low + step - 1);
        std::vector<int64_t> points = round_points(low, top, round_places);
        std::vector<Range> ranges;
        for (int64_t& point : points) {
            uint64_t partner = static_cast<uint64_t>((point - step) * sector);
            while (point < top &&
                   intersects(&probe->written_ranges, partner, partner + probe->sector)) {
                point += 1;
                partner += probe->sector;
            }
            ranges.push_back({static_cast<uint64_t>(point * sector), probe->sector});
        }
        std::vector<char> written = save_and_write(probe, ranges);
        int64_t first_past = high;
        int64_t last_below = low;
        for (size_t k = 0; k < points.size() && !probe->failed; ++k) {
            uint64_t address = ranges[k].offset;
            Observation partner = look_at(probe, address - distance);
            bool past =
                written[k] == 0 || (partner.kind == sector_moved && partner.named == address);
            if (past) {
                first_past = std::min(first_past, points[k]);
            }
        }
        for (size_t k = 0; k < points.size(); ++k) {
            if (points[k] < first_past) {
                last_below = std::max(last_below, points[k]);
            }
        }
        high = first_past;
        low = last_below;
    }
    uint64_t capacity = static_cast<uint64_t>(high * sector);
    if (should_stop(probe) || lands_below(probe, capacity, distance)) {
        return capacity;
    }
    return 0;
}

// ---- Lost writes: a cache answers for the last writes, so each round
// writes its places, then enough elsewhere to push them out, then reads. ----

// A stretch of push_length bytes outside (low, high] to write after each
// round; empty when there is no room. At the top of the drive where it can
// be: the witness was saved there already, and writing it again costs no
// saving.
Range push_range(const Probe* probe, uint64_t low, uint64_t high, uint64_t push_length) {
    if (high + push_length <= probe->size) {
        return {probe->size - push_length, push_length};
    }
    if (low >= push_length) {
        return {low - push_length, push_length};
    }
    return {0, 0};
}

// How many bytes of [start, start + length), counted from its end, read
// back as written.
uint64_t newest_answered(Probe* probe, uint64_t start, uint64_t length) {
    uint64_t answered = 0;
    for (uint64_t end = start + length; end > start; end -= io_chunk) {
        uint64_t piece = std::min<uint64_t>(io_chunk, end - start);
        if (!read_device(probe, end - piece, static_cast<size_t>(piece), probe->buffer.data())) {
            return answered;
        }
        for (uint64_t at = piece; at > 0; at -= probe->sector) {
            Observation seen = classify(probe, end - piece + at - probe->sector,
                                        probe->buffer.data() + at - probe->sector);
            if (seen.kind != sector_own) {
                return answered;
            }
            answered += probe->sector;
        }
    }
    return answered;
}

// Writes a stretch from start (past the capacity), then extra bytes
// elsewhere, and reads the stretch back from its newest sector: a cache of
// the last K bytes written answers K - extra of them. Moves extra until
// that falls inside the stretch.
void measure_cache(Probe* probe, uint64_t start, uint64_t kept_end) {
    uint64_t sector = probe->sector;
    uint64_t length = align_down(std::min(cache_stretch, probe->size - start), sector);
    uint64_t at_least = 0;
    uint64_t at_most = UINT64_MAX;
    uint64_t extra = 0;
    while (length > 0 && at_most - at_least >= sector && extra <= largest_cache_measured &&
           !should_stop(probe)) {
        Range push = push_range(probe, kept_end, start + length, extra);
        if (extra > 0 && push.length == 0) {
            break;
        }
        if (save_and_write(probe, {{start, length}})[0] == 0) {
            break;
        }
        if (extra > 0) {
            save_and_write(probe, {push});
        }
        uint64_t answered = newest_answered(probe, start, length);
        if (answered > 0 && answered < length) {
            at_least = at_most = extra + answered;
        } else if (answered == length) {
            at_least = extra + length;
        } else {
            at_most = extra;
        }
        // The next stretch's window [extra, extra + length] in the middle of
        // what is still possible, or twice as far when no upper bound is known.
        uint64_t middle =
            at_most == UINT64_MAX ? 2 * at_least : at_least + (at_most - at_least) / 2;
        extra = align_down(middle > length / 2 ? middle - length / 2 : 0, sector);
    }
    probe->result->cache_bytes = at_least;
    probe->result->cache_measured = at_most - at_least < sector;
    probe->result->cache_at_most = probe->result->cache_measured ? at_least : 0;
}

uint64_t search_lost_capacity(Probe* probe, int64_t low, int64_t high, Range push) {
    int64_t sector = static_cast<int64_t>(probe->sector);
    while (high - low > 1 && !should_stop(probe)) {
        std::vector<int64_t> points = round_points(
            low, high - 1, push.length > 0 ? pushed_round_places : unpushed_round_places);
        std::vector<Range> ranges;
        for (int64_t point : points) {
            ranges.push_back({static_cast<uint64_t>(point * sector), probe->sector});
        }
        std::vector<char> written = save_and_write(probe, ranges);
        if (push.length > 0) {
            save_and_write(probe, {push});
        }
        int64_t first_lost = high;
        for (size_t k = 0; k < points.size() && !probe->failed; ++k) {
            if (written[k] == 0 || look_at(probe, ranges[k].offset).kind != sector_own) {
                first_lost = std::min(first_lost, points[k]);
            }
        }
        int64_t last_kept = low;
        for (size_t k = 0; k < points.size(); ++k) {
            if (points[k] < first_lost) {
                last_kept = std::max(last_kept, points[k]);
            }
        }
        high = first_lost;
        low = last_kept;
    }
    return static_cast<uint64_t>(high * sector);
}

// ---- The whole probe. ----

// A sector read back as written, and the age of its write.
struct Answered {
    uint64_t address;
    uint64_t age;
};

// What the first pass saw.
struct Findings {
    std::vector<uint64_t> kept; // sampled places that held what was written, read out of any cache
    std::vector<Answered> answered; // every sector read back as written
    uint64_t shared_distance;       // greatest common divisor of the distances seen shared
    uint64_t first_shared;          // the lowest address known to share storage with a lower one
    uint64_t first_lost;            // the lowest written address that lost its data
    SectorKind lost_kind;           // what it read as
    uint64_t youngest_lost;         // the least write age among sectors that lost their data
    uint64_t read_at;               // the bytes written when it was read
};

Findings no_findings(const Probe* probe) {
    Findings findings = {};
    findings.first_lost = UINT64_MAX;
    findings.youngest_lost = never_written;
    findings.read_at = probe->written_total;
    return findings;
}

// Adds what one sector read back as. kept_place: a sampled place, read after
// the whole witness was written (the witness's newest writes may still be
// answered from a cache).
void note(const Probe* probe, Findings* findings, Observation seen, bool kept_place) {
    if (seen.kind == sector_moved) {
        uint64_t high = std::max(seen.address, seen.named);
        uint64_t low = std::min(seen.address, seen.named);
        findings->shared_distance = greatest_common_divisor(findings->shared_distance, high - low);
        findings->first_shared =
            findings->first_shared == 0 ? high : std::min(findings->first_shared, high);
        return;
    }
    uint64_t age = write_age(probe, seen.address);
    if (seen.kind == sector_own) {
        if (kept_place) {
            findings->kept.push_back(seen.address);
        }
        findings->answered.push_back({seen.address, age});
        return;
    }
    findings->youngest_lost = std::min(findings->youngest_lost, age);
    if (seen.address < findings->first_lost) {
        findings->first_lost = seen.address;
        findings->lost_kind = seen.kind;
    }
}

// The largest distance between consecutive kept places in [start, end),
// counting from start and to end.
uint64_t largest_gap(const std::vector<uint64_t>* kept, uint64_t start, uint64_t end) {
    uint64_t gap = 0;
    uint64_t previous = start;
    for (uint64_t place : *kept) {
        if (place >= start && place < end) {
            gap = std::max(gap, place - previous);
            previous = place;
        }
    }
    return std::max(gap, end - previous);
}

// The cache of a drive that loses writes, from what the reads saw: sectors
// past the first lost one lie past the capacity, so those that read back
// as written were answered from the cache, and the cache holds fewer bytes
// than the youngest write it lost. Between the two, single sectors of
// chosen ages are read until the cache is known to the sector; this needs
// no writes, so only while nothing was written since the reads.
struct CacheBounds {
    uint64_t at_least;
    uint64_t at_most; // never_written: unknown
};

CacheBounds bound_cache(Probe* probe, const Findings* findings) {
    CacheBounds cache = {0, findings->youngest_lost};
    if (cache.at_most == never_written) {
        return cache;
    }
    cache.at_most -= probe->sector;
    for (const Answered& seen : findings->answered) {
        if (seen.address > findings->first_lost && seen.age <= cache.at_most) {
            cache.at_least = std::max(cache.at_least, seen.age);
        }
    }
    while (cache.at_least < cache.at_most && probe->written_total == findings->read_at &&
           !should_stop(probe)) {
        uint64_t age = cache.at_least +
                       align_down((cache.at_most - cache.at_least) / 2, probe->sector) +
                       probe->sector;
        uint64_t address = address_of_age(probe, age);
        if (address == never_written || address <= findings->first_lost) {
            break;
        }
        SectorKind kind = look_at(probe, address).kind;
        if (kind == sector_own) {
            cache.at_least = age;
        } else if (kind == sector_moved) {
            break;
        } else {
            cache.at_most = age - probe->sector;
        }
    }
    return cache;
}

// Written sectors that lost their data: the capacity lies between the last
// place kept below the first of them and it.
void settle_lost_capacity(Probe* probe, const Findings* findings) {
    ProbeResult* result = probe->result;
    uint64_t sector = probe->sector;
    result->past = past_of(findings->lost_kind);
    uint64_t first_lost = findings->first_lost;
    CacheBounds cache = bound_cache(probe, findings);
    // Kept: read out of any cache, as the places after the witness were, or
    // older than the largest cache possible.
    std::vector<uint64_t> kept = findings->kept;
    for (const Answered& seen : findings->answered) {
        if (cache.at_most != never_written && seen.age > cache.at_most) {
            kept.push_back(seen.address);
        }
    }
    std::sort(kept.begin(), kept.end());
    int64_t last_kept = -1;
    for (uint64_t place : kept) {
        if (place < first_lost) {
            last_kept = std::max(last_kept, static_cast<int64_t>(place / sector));
        }
    }
    uint64_t kept_end = static_cast<uint64_t>(last_kept + 1) * sector;
    // Known closely enough from the reads, the cache is pushed out with a
    // margin (for a cache that keeps larger units than a sector); else it
    // is measured with writes of its own, where it shows.
    uint64_t push_length = 0;
    if (cache.at_most != never_written &&
        (cache.at_most - cache.at_least <= closely_enough || result->past == past_read_errors)) {
        result->cache_bytes = cache.at_least;
        result->cache_at_most = cache.at_most;
        result->cache_measured = cache.at_least == cache.at_most;
        push_length = cache.at_most == 0 ? 0 : cache.at_most + mib;
    } else if (result->past != past_read_errors) {
        measure_cache(probe, first_lost, kept_end);
        push_length = result->cache_bytes + mib;
    }
    Range push = push_range(probe, kept_end, first_lost + sector, push_length);
    result->capacity =
        search_lost_capacity(probe, last_kept, static_cast<int64_t>(first_lost / sector), push);
    result->largest_gap = largest_gap(&kept, 0, result->capacity);
}

// Two addresses that share storage: the higher one is past the capacity, and
// all such pairs are a multiple of the wrap distance apart.
// If writes there do not reach the lower storage, the drive only reads it
// there: its writes are lost, and the search goes on as for lost writes.
void settle_wrapped_capacity(Probe* probe, const Findings* findings) {
    ProbeResult* result = probe->result;
    uint64_t capacity =
        search_wrapped_capacity(probe, findings->shared_distance, findings->first_shared);
    if (capacity == 0) {
        Findings lost = *findings;
        lost.first_lost = std::min(findings->first_lost, findings->first_shared);
        lost.lost_kind = sector_other;
        settle_lost_capacity(probe, &lost);
        return;
    }
    result->past = past_wraps;
    result->wrap_distance = findings->shared_distance;
    result->capacity = capacity;
    result->low_area = result->capacity - findings->shared_distance;
    result->largest_gap = largest_gap(&findings->kept, 0, result->capacity);
}

// The places written in the first pass.
struct FirstPass {
    std::vector<uint64_t> places; // single sectors
    std::vector<char> sampled;    // whether each was written
    uint64_t witness_start;       // the witness runs from here to the top
};

// Writes the witness's pieces from end down to start, 1 MiB at a time: its
// first writes, at the very top, are out of any cache smaller than it by
// the time they are read.
void write_witness(Probe* probe, uint64_t start, uint64_t end) {
    std::vector<Range> witness_pieces;
    while (end > start) {
        uint64_t piece = std::min<uint64_t>(end - start, io_chunk);
        witness_pieces.push_back({end - piece, piece});
        end -= piece;
    }
    save_and_write(probe, witness_pieces);
}

// Single sectors at the sampled places, lowest first, and the top sector
// last.
void write_places(Probe* probe, FirstPass* pass) {
    ProbeResult* result = probe->result;
    pass->witness_start = probe->size - witness_size(probe->size, probe->sector, first_witness);
    pass->places = sample_places(pass->witness_start, probe->size, probe->sector);
    std::vector<Range> ranges;
    for (uint64_t place : pass->places) {
        ranges.push_back({place, probe->sector});
    }
    ranges.push_back({probe->size - probe->sector, probe->sector});
    pass->sampled = save_and_write(probe, ranges);
    pass->sampled.pop_back();
    result->places_sampled = static_cast<uint32_t>(pass->places.size());
}

// Reads the places back into findings; one that could not be saved, and so
// was not written, counts as unreadable.
void note_places(Probe* probe, const FirstPass* pass, Findings* findings, bool kept_places) {
    for (size_t k = 0; k < pass->places.size(); ++k) {
        Observation seen = pass->sampled[k] != 0
                               ? look_at(probe, pass->places[k])
                               : Observation{pass->places[k], sector_unreadable, 0};
        note(probe, findings, seen, kept_places);
    }
}

// The places read straight back. A drive that loses writes and has no
// cache gives itself away here: the top sector, written last, reads back
// lost with nothing written after it.
Findings read_places(Probe* probe, const FirstPass* pass) {
    Findings findings = no_findings(probe);
    note_places(probe, pass, &findings, false);
    note(probe, &findings, look_at(probe, probe->size - probe->sector), false);
    return findings;
}

// Doubles the witness downwards, up to its full size, for a drive that
// read back everything as written: a cache that held the earlier writes is
// pushed out by the new ones. A cache of K bytes shows once the witness
// holds K, so a small cache costs a small witness. False when it is at its
// full size already.
bool grow_witness(Probe* probe, FirstPass* pass) {
    ProbeResult* result = probe->result;
    uint64_t full = witness_size(probe->size, probe->sector, smallest_witness);
    uint64_t witness = std::min(full, 2 * (probe->size - pass->witness_start));
    uint64_t start = probe->size - witness;
    if (start >= pass->witness_start) {
        return false;
    }
    write_witness(probe, start, pass->witness_start);
    pass->witness_start = start;
    result->witness_bytes = witness;
    // The places the witness now covers are read as part of it.
    while (!pass->places.empty() && pass->places.back() >= start) {
        pass->places.pop_back();
        pass->sampled.pop_back();
    }
    return true;
}

// What the places and the witness hold, and, with scan, where the
// witness's data shows through lower addresses.
Findings read_first_pass(Probe* probe, const FirstPass* pass, bool scan) {
    Findings findings = no_findings(probe);
    note_places(probe, pass, &findings, true);
    for (uint64_t at = pass->witness_start; at < probe->size; at += witness_read_stride) {
        note(probe, &findings, look_at(probe, at), false);
    }
    note(probe, &findings, look_at(probe, probe->size - probe->sector), false);
    // Finely over the low end, where a kept low area ends and the top of a
    // drive that is fake only in its last few MiB lands; then coarsely.
    uint64_t fine_end = probe->result->fine_scan_end;
    uint64_t coarse = probe->result->scan_stride;
    for (uint64_t at = 0; scan && at < pass->witness_start && !should_stop(probe);
         at += at < fine_end ? witness_read_stride : coarse) {
        Observation seen = look_at(probe, at);
        if (seen.kind == sector_moved) {
            note(probe, &findings, seen, false);
        }
    }
    return findings;
}

// Settles the capacity from what the reads found; false when they found
// nothing wrong.
bool settle(Probe* probe, const Findings* findings) {
    if (findings->shared_distance != 0) {
        settle_wrapped_capacity(probe, findings);
    } else if (findings->first_lost != UINT64_MAX) {
        settle_lost_capacity(probe, findings);
    } else {
        return false;
    }
    return true;
}

void find_capacity(Probe* probe) {
    FirstPass pass;
    write_places(probe, &pass);
    if (should_stop(probe)) {
        return;
    }
    // Lost writes seen at once need no witness; anything else is looked at
    // with it (a drive that wraps shows only through the witness's data).
    Findings findings = read_places(probe, &pass);
    if (should_stop(probe) || (findings.shared_distance == 0 && findings.first_lost != UINT64_MAX &&
                               settle(probe, &findings))) {
        return;
    }
    // The top sector keeps its write from the places: where a cache exactly
    // as large as the witness ends, between the places' writes and the
    // witness's, a sector of every age is still there to read.
    write_witness(probe, pass.witness_start, probe->size - probe->sector);
    uint64_t witness = probe->size - pass.witness_start;
    probe->result->witness_bytes = witness;
    probe->result->scan_stride = witness;
    probe->result->fine_scan_end = std::min(pass.witness_start, fine_scan_witnesses * witness);
    findings = read_first_pass(probe, &pass, true);
    if (should_stop(probe) || settle(probe, &findings)) {
        return;
    }
    // Everything read back as written: a larger witness rules out a cache
    // that answered for all of it. A drive that wraps showed through the
    // scan already.
    while (grow_witness(probe, &pass)) {
        findings = read_first_pass(probe, &pass, false);
        if (should_stop(probe) || settle(probe, &findings)) {
            return;
        }
    }
    probe->result->past = past_nothing;
    probe->result->capacity = probe->size;
    // The witness held as a whole.
    probe->result->largest_gap = largest_gap(&findings.kept, 0, pass.witness_start);
}

} // namespace

const char* past_capacity_name(PastCapacity past) {
    switch (past) {
    case past_nothing:
        return "nothing (the whole size holds)";
    case past_wraps:
        return "wraps around to lower addresses";
    case past_zeros:
        return "writes lost, reads give zeros";
    case past_ones:
        return "writes lost, reads give FF";
    case past_old_data:
        return "writes lost, reads give the data from before";
    case past_other_data:
        return "writes lost, reads give other data";
    case past_read_errors:
        return "reads fail";
    }
    return "?";
}

namespace {

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
        uint64_t claimed = result->claimed_bytes;
        result->capacity = 0;
        result->past = past_nothing;
        result->wrap_distance = result->low_area = 0;
        result->cache_measured = false;
        result->cache_bytes = result->cache_at_most = 0;
        result->claimed_bytes = claimed;
    }
}

// Writes back what was saved, once the probe writes nothing more (the
// backup closed first, so that a kill during the restore leaves a backup
// that shows it is whole); the message says what was left.
void restore_at_end(Probe* probe) {
    ProbeResult* result = probe->result;
    const ProbeOptions* options = probe->options;
    uint64_t trusted = result->end == probe_finished ? result->capacity : probe->size;
    if (probe->journal.failure == nullptr) {
        backup_close(&probe->journal, trusted);
    }
    result->restored =
        restore_saved(probe->device, &options->run, &probe->saved, trusted, &result->restore);
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

} // namespace

bool probe_drive(const ProbeDevice* device, const BackupSink* backup, const ProbeOptions* options,
                 ProbeResult* result, char* message, size_t capacity) {
    *result = {};
    result->end = probe_refused;
    result->claimed_bytes = device->size;
    result->sector_size = device->sector_size;
    message[0] = '\0';
    if (!can_probe(device, message, capacity)) {
        return false;
    }
    double started = device->seconds(device->context);
    uint32_t sector = device->sector_size;
    Probe probe = {};
    probe.device = device;
    probe.options = options;
    probe.result = result;
    probe.size = align_down(device->size, sector);
    probe.sector = sector;
    probe.buffer.resize(io_chunk);
    // Room for the saves of a whole witness, so that they are not copied
    // over and over as they grow.
    probe.saved.bytes.reserve(
        static_cast<size_t>(witness_size(probe.size, sector, smallest_witness)) + io_chunk);
    probe.message = message;
    probe.capacity = capacity;
    if (!options->destructive) {
        BackupHeader header = {device->size, sector, options->run, options->identity, 0};
        // Flushed with the first sectors saved, before the first write.
        if (!backup_start(&probe.journal, backup, &header)) {
            backup_failed(&probe);
        }
    }
    if (!probe.failed) {
        find_capacity(&probe);
    }
    settle_end(&probe);
    if (!options->destructive) {
        restore_at_end(&probe);
    }
    result->seconds = device->seconds(device->context) - started;
    return result->end == probe_finished && (options->destructive || result->restored);
}
