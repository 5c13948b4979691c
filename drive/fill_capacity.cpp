#include "fill_capacity.h"

#include "damage_kinds.h"

#include <cstdio>

namespace {

// Below this share of the smallest wrap distance, the common divisor of the
// distances comes from data that was moved by something else than the
// wrap, and the smallest distance is the better guess.
constexpr uint64_t divisor_noise = 64;

// Where fill data at the start of the data that the file system placed
// first counts as found there: wrapping that reaches this near to it
// reaches down to the drive's start, below the file system's own data.
uint64_t near_the_start(uint64_t wrap) {
    uint64_t share = wrap / 64;
    return share > (uint64_t{1} << 20) ? share : uint64_t{1} << 20;
}

// The lowest drive offset that holds fill data.
uint64_t lowest_fill_offset(const DriveMap* map) {
    uint64_t lowest = UINT64_MAX;
    for (size_t i = 0; i < map->count; ++i) {
        lowest = map->extents[i].drive_offset < lowest ? map->extents[i].drive_offset : lowest;
    }
    return lowest;
}

// Fill bytes that lie at drive offsets from from on and were written from
// stream offset written_from on.
uint64_t fill_bytes_from(const DriveMap* map, uint64_t from, uint64_t written_from) {
    uint64_t bytes = 0;
    for (size_t i = 0; i < map->count; ++i) {
        const StreamExtent& e = map->extents[i];
        uint64_t skip = from > e.drive_offset ? from - e.drive_offset : 0;
        uint64_t start = e.stream_offset + skip;
        start = written_from > start ? written_from : start;
        uint64_t end = e.stream_offset + e.length;
        bytes += end > start ? end - start : 0;
    }
    return bytes;
}

// The end of the last part of the stream [start, end) that came back
// intact, or start when none did (stretches are in stream order).
uint64_t intact_end_within(const CheckResult* result, uint64_t start, uint64_t end) {
    uint64_t at = end < result->bytes_read ? end : result->bytes_read;
    // The stretches [0, below) begin before at.
    uint64_t low = 0;
    uint64_t below = kept_stretch_count(result);
    while (low < below) {
        uint64_t middle = low + (below - low) / 2;
        if (result->stretches[middle].start < at) {
            low = middle + 1;
        } else {
            below = middle;
        }
    }
    for (; at > start; --below) {
        if (below == 0 || result->stretches[below - 1].end < at) {
            return at;
        }
        at = result->stretches[below - 1].start;
    }
    return start;
}

// How far up the drive keeps its bytes apart from the wrap, as far as the
// fill shows: fill data written past the wrap distance would have landed
// on fill data written earlier in [from, below) if the wrap began at the
// drive's start, yet both came back intact. The highest drive offset where
// they did, or 0.
uint64_t low_area_end(const CheckResult* result, const DriveMap* map, uint64_t wrap, uint64_t from,
                      uint64_t below) {
    uint64_t highest = 0;
    for (size_t hi = 0; hi < map->count; ++hi) {
        const StreamExtent& late = map->extents[hi];
        uint64_t late_end = late.drive_offset + late.length;
        uint64_t at = late.drive_offset > wrap ? late.drive_offset : wrap;
        while (at < late_end) {
            uint64_t lap_end = (at / wrap + 1) * wrap;
            uint64_t end = late_end < lap_end ? late_end : lap_end;
            // [at, end) would land on [land, land + end - at).
            uint64_t land = at % wrap;
            uint64_t c = land > from ? land : from;
            uint64_t d = land + (end - at) < below ? land + (end - at) : below;
            for (size_t lo = 0; c < d && lo < map->count; ++lo) {
                const StreamExtent& early = map->extents[lo];
                uint64_t e = early.drive_offset > c ? early.drive_offset : c;
                uint64_t f =
                    early.drive_offset + early.length < d ? early.drive_offset + early.length : d;
                // The late data that would land on e, written after the early data?
                uint64_t late_stream = late.stream_offset + (at + (e - land) - late.drive_offset);
                uint64_t stream_start = early.stream_offset + (e - early.drive_offset);
                if (e >= f || stream_start >= late_stream) {
                    continue;
                }
                // Only late data that came back intact shows where it
                // landed: a late write that was lost, or never reached the
                // drive before the fill stopped, overwrote nothing.
                uint64_t late_intact =
                    intact_end_within(result, late_stream, late_stream + (f - e));
                f = e + (late_intact - late_stream);
                uint64_t intact = intact_end_within(result, stream_start, stream_start + (f - e));
                uint64_t drive_end = e + (intact - stream_start);
                highest = intact > stream_start && drive_end > highest ? drive_end : highest;
            }
            at = end;
        }
    }
    return highest;
}

// Where misplaced data of the fill was written on the drive, and where it
// was read: false where the data does not show that the drive gives two
// offsets one place (it may be data the stream skipped to), or either
// place is not mapped. The map is of input offsets; the data's own place
// in the stream is found through the jumps of the stream.
bool misplaced_places(const CheckResult* result, const DriveMap* map, const Stretch& s,
                      uint64_t* read_at, uint64_t* written_at) {
    uint64_t source = 0;
    return s.kind == damage_misplaced && misplaced_evidence(result, s) != misplaced_unexplained &&
           drive_offset_of(map, s.start, read_at) && input_offset_of(result, s.source, &source) &&
           drive_offset_of(map, source, written_at) && *written_at != *read_at;
}

// Data read at one drive offset that was written at another: the drive
// wraps around by a divisor of their distance. The wrap is the common
// divisor of all such distances; the kept low area below it, if any,
// begins where the lowest misplaced data was read.
bool find_wrap(const CheckResult* result, const DriveMap* map, DriveVerdict* capacity) {
    uint64_t common = 0;
    uint64_t smallest = UINT64_MAX;
    uint64_t lowest_read = UINT64_MAX;
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& s = result->stretches[i];
        uint64_t read_at = 0;
        uint64_t written_at = 0;
        if (!misplaced_places(result, map, s, &read_at, &written_at)) {
            continue;
        }
        uint64_t distance = written_at > read_at ? written_at - read_at : read_at - written_at;
        if (distance % sector_bytes != 0) {
            continue;
        }
        common = greatest_common_divisor(common, distance);
        smallest = distance < smallest ? distance : smallest;
        uint64_t low = written_at > read_at ? read_at : written_at;
        lowest_read = low < lowest_read ? low : lowest_read;
    }
    if (common == 0) {
        return false;
    }
    capacity->finding = drive_holds_less;
    capacity->past = past_wraps;
    capacity->wrap = common >= smallest / divisor_noise ? common : smallest;
    uint64_t first_fill = lowest_fill_offset(map);
    // Misplaced data read no lower than well above the first fill data: the
    // drive may keep a low area apart, up to where it was read. Fill data
    // below that came back intact where a wrap from the drive's start would
    // have overwritten it shows how far the low area reaches at least.
    uint64_t near = near_the_start(capacity->wrap);
    bool maybe_kept = lowest_read > first_fill + near;
    uint64_t kept_below =
        maybe_kept ? low_area_end(result, map, capacity->wrap, first_fill, lowest_read) : 0;
    capacity->holds = kept_below + capacity->wrap;
    capacity->holds_at_most = maybe_kept && kept_below + near < lowest_read
                                  ? lowest_read + capacity->wrap
                                  : capacity->holds;
    return true;
}

// What reads give where a stretch of lost data lies.
PastCapacity past_of(const Stretch& lost) {
    switch (lost.kind) {
    case damage_blank:
        return lost.source == 0 ? past_zeros : past_ones;
    case damage_stale:
        return past_other_run;
    case damage_unreadable:
        return past_read_errors;
    default:
        return past_other_data;
    }
}

// Data that is lost from a drive offset on: the lowest drive offset of
// blank, unreadable, stale or foreign data, where such damage is most of
// the fill data past it, and more than a bad sector or page could be.
// A drive that answers its latest writes from a cache in its memory reads
// them back as written wherever they lie: fill data past that offset that
// was written after the last write lost (the stream is the order of the
// writes) and came back whole is such a cache's, where it is no more than
// the largest cache reported; the loss is then most of the fill data
// written past the offset before it. A larger good tail is no cache's:
// the loss must then be most of all the fill data past the offset. Nor is
// a good tail after data that could not be read: a worn area of a genuine
// drive fails its reads, and good writes after it are the drive's own.
bool find_loss(const CheckResult* result, const DriveMap* map, DriveVerdict* capacity) {
    uint64_t lowest = UINT64_MAX;
    uint64_t damaged = 0;
    uint64_t last_lost_end = 0;
    bool unreadable = false;
    const Stretch* first = nullptr;
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& s = result->stretches[i];
        uint64_t at = 0;
        if (damage_kinds[s.kind].this_run || !drive_offset_of(map, s.start, &at)) {
            continue;
        }
        damaged += s.end - s.start;
        last_lost_end = s.end;
        unreadable = unreadable || s.kind == damage_unreadable;
        if (at < lowest) {
            lowest = at;
            first = &s;
        }
    }
    if (first == nullptr || damaged < min_lost_bytes) {
        return false;
    }
    // The good tail is known only where every stretch of damage was kept.
    uint64_t cached =
        result->stretch_count <= kept ? fill_bytes_from(map, lowest, last_lost_end) : 0;
    uint64_t past = fill_bytes_from(map, lowest, 0);
    bool behind_cache = !unreadable && cached > 0 && cached <= largest_reported_cache &&
                        damaged * 2 >= past - cached;
    if (damaged * 2 < past && !behind_cache) {
        return false;
    }
    capacity->finding = drive_holds_less;
    capacity->holds = lowest;
    capacity->holds_at_most = lowest;
    capacity->past = past_of(*first);
    capacity->cache = behind_cache ? cached : 0;
    return true;
}

} // namespace

bool drive_offset_of(const DriveMap* map, uint64_t offset, uint64_t* drive_offset) {
    size_t low = 0;
    size_t high = map->count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        const StreamExtent& e = map->extents[middle];
        if (offset < e.stream_offset) {
            high = middle;
        } else if (offset >= e.stream_offset + e.length) {
            low = middle + 1;
        } else {
            *drive_offset = e.drive_offset + (offset - e.stream_offset);
            return true;
        }
    }
    return false;
}

DriveVerdict find_capacity(const CheckResult* result, const DriveMap* map, uint64_t claims) {
    DriveVerdict capacity = {};
    capacity.claims = claims;
    capacity.kept = result->bytes_intact + (result->run_known ? 0 : header_bytes);
    capacity.written =
        result->expected_size > result->bytes_read ? result->expected_size : result->bytes_read;
    if (!check_found_damage(result)) {
        return capacity;
    }
    // With a map, damage that shows neither says nothing of the drive's
    // size (a jump of the stream, a few bad sectors): the check's own
    // verdict stands.
    if (map->count > 0) {
        if (!find_wrap(result, map, &capacity)) {
            find_loss(result, map, &capacity);
        }
        return capacity;
    }
    capacity.finding = drive_kept_estimate;
    return capacity;
}

uint64_t intact_end_of(const CheckResult* result) {
    uint64_t intact_end = result->bytes_read;
    if (result->stretch_count > 0) {
        intact_end = result->stretches[0].start;
    }
    if (result->slip_count > 0 && result->slips[0].offset < intact_end) {
        intact_end = result->slips[0].offset;
    }
    return intact_end;
}

DriveVerdict event_capacity(const DriveMap* map, uint64_t vouched, uint64_t claims,
                            PastCapacity event) {
    DriveVerdict capacity = {};
    capacity.finding = drive_holds_less;
    capacity.claims = claims;
    capacity.past = event;
    capacity.holds = map->count > 0 ? 0 : vouched;
    for (size_t i = 0; i < map->count; ++i) {
        const StreamExtent& e = map->extents[i];
        if (e.stream_offset >= vouched) {
            continue;
        }
        uint64_t length =
            vouched - e.stream_offset < e.length ? vouched - e.stream_offset : e.length;
        uint64_t end = e.drive_offset + length;
        capacity.holds = end > capacity.holds ? end : capacity.holds;
    }
    // Where the write that failed came, the fill cannot tell: the file
    // system placed it. Up to the claim, then.
    capacity.holds_at_most = claims > capacity.holds ? claims : capacity.holds;
    return capacity;
}
