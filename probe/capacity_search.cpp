#include "capacity_search.h"

#include <algorithm>

namespace probe_internal {

namespace {

// Places tested in one round of a search. A round costs a flush of the
// backup and of the drive, and a read and a write per place; where each
// round must also push a cache out, fewer and larger rounds cost less.
constexpr int64_t round_places = 127;
constexpr int64_t unpushed_round_places = 15;
constexpr int64_t pushed_round_places = 1023;
// The stretch that the cache is measured with, and the largest cache measured.
constexpr uint64_t cache_stretch = 4 * mib;
constexpr uint64_t largest_cache_measured = 64 * mib;

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

// Writes address and reads address - distance: whether the write landed
// there.
bool lands_below(Probe* probe, uint64_t address, uint64_t distance) {
    std::vector<char> written = save_and_write(probe, {{address, probe->sector}});
    Observation partner = look_at(probe, address - distance);
    return written[0] != 0 && partner.kind == sector_moved && partner.named == address;
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

} // namespace

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
        std::vector<uint64_t> partners;
        for (const Range& range : ranges) {
            partners.push_back(range.offset - distance);
        }
        std::vector<Observation> seen = look_at_all(probe, partners);
        for (size_t k = 0; k < points.size() && !probe->failed; ++k) {
            uint64_t address = ranges[k].offset;
            bool past =
                written[k] == 0 || (seen[k].kind == sector_moved && seen[k].named == address);
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
        std::vector<uint64_t> places;
        for (const Range& range : ranges) {
            places.push_back(range.offset);
        }
        std::vector<Observation> seen = look_at_all(probe, places);
        for (size_t k = 0; k < points.size() && !probe->failed; ++k) {
            if (written[k] == 0 || seen[k].kind != sector_own) {
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

} // namespace probe_internal
