#include "second_look.h"

#include "capacity_search.h"

#include <algorithm>

namespace probe_internal {

namespace {

// Places between those of the first pass's sixteenths: the odd
// thirty-seconds of the drive.
constexpr uint64_t second_look_places = 16;

// The stretch written after the places to push out a cache that the first
// look found; empty where it found none, or where the drive wraps (a cache
// never changes that answer).
Range second_push(const Probe* probe) {
    const ProbeResult* result = probe->result;
    uint64_t cache = std::max(result->cache_bytes, result->cache_at_most);
    if (result->past == past_wraps || result->past == past_nothing || cache == 0) {
        return {0, 0};
    }
    return push_range(probe, result->capacity, result->capacity + probe->sector, cache + mib);
}

bool inside(const Range* range, uint64_t address) {
    return address >= range->offset && address - range->offset < range->length;
}

// The places, lowest first: the odd thirty-seconds that the probe has not
// written, and the sectors either side of the capacity (written before, by
// the search), none in the push.
std::vector<uint64_t> second_places(const Probe* probe, const Range* push) {
    uint64_t sector = probe->sector;
    uint64_t capacity = probe->result->capacity;
    std::vector<uint64_t> places;
    for (uint64_t k = 0; k < second_look_places; ++k) {
        uint64_t place = align_down(probe->size / (2 * second_look_places) * (2 * k + 1), sector);
        if (!intersects(&probe->written_ranges, place, place + sector)) {
            places.push_back(place);
        }
    }
    places.push_back(capacity - sector);
    if (capacity < probe->size) {
        places.push_back(capacity);
    }
    places.erase(std::remove_if(places.begin(), places.end(),
                                [push](uint64_t place) { return inside(push, place); }),
                 places.end());
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    return places;
}

// Whether place holds what was written there: it reads back as written
// and, on a drive that wraps, its write did not land a wrap below.
bool holds(Probe* probe, uint64_t place) {
    if (look_at(probe, place).kind != sector_own) {
        return false;
    }
    uint64_t distance = probe->result->wrap_distance;
    if (probe->result->past != past_wraps || place < distance) {
        return true;
    }
    Observation partner = look_at(probe, place - distance);
    return partner.kind != sector_moved || partner.named != place;
}

// The capacity searched for again between the last place held and the
// first one not.
uint64_t search_again(Probe* probe, int64_t last_held, uint64_t first_not_held, Range push) {
    ProbeResult* result = probe->result;
    if (result->past == past_wraps && first_not_held >= result->wrap_distance) {
        uint64_t capacity = search_wrapped_capacity(probe, result->wrap_distance, first_not_held);
        return capacity != 0 ? capacity : first_not_held;
    }
    return search_lost_capacity(probe, last_held,
                                static_cast<int64_t>(first_not_held / probe->sector), push);
}

} // namespace

void look_again(Probe* probe) {
    ProbeResult* result = probe->result;
    Range push = second_push(probe);
    std::vector<uint64_t> places = second_places(probe, &push);
    std::vector<Range> ranges;
    for (auto place = places.rbegin(); place != places.rend(); ++place) {
        ranges.push_back({*place, probe->sector});
    }
    std::vector<char> written = save_and_write(probe, ranges);
    if (push.length > 0) {
        save_and_write(probe, {push});
    }
    uint64_t first_not_held = probe->size;
    int64_t last_held = -1;
    bool agrees = true;
    for (size_t k = 0; k < places.size() && !should_stop(probe); ++k) {
        uint64_t place = places[k];
        if (written[places.size() - 1 - k] == 0) {
            continue; // not readable for saving, so not written
        }
        bool held = holds(probe, place);
        if (agrees && held != (place < result->capacity)) {
            agrees = false;
            result->disagreed_at = place;
        }
        if (!held) {
            first_not_held = std::min(first_not_held, place);
        } else if (place < first_not_held) {
            last_held = static_cast<int64_t>(place / probe->sector);
        }
    }
    result->places_sampled += static_cast<uint32_t>(places.size());
    if (agrees || should_stop(probe)) {
        return;
    }
    // A place may read back from a cache the first look found; only a
    // capacity found again otherwise makes the drive unstable.
    uint64_t again = search_again(probe, last_held, first_not_held, push);
    if (again == result->capacity) {
        result->disagreed_at = 0;
        return;
    }
    result->unstable = true;
    result->second_capacity = again;
}

} // namespace probe_internal
