#include "probe.h"

#include "capacity_search.h"
#include "drive_verdict.h"
#include "probe_access.h"
#include "probe_end.h"
#include "replug.h"
#include "run_data.h"
#include "second_look.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace probe_internal;

namespace {

// The top of the drive written at once, to push a cache out. The first
// pass writes single sectors only, which a fake without a cache already
// gives away; then a small witness; where everything read back as written,
// the witness doubles downwards up to the grown size before the drive is
// called genuine. A drive that loses writes past its capacity answers reads
// of the latest ones from its cache: a witness no larger than that cache
// would read back whole. Caches of up to 256 MiB have been reported on real
// sticks (and of 3, 31 and 63 MB), so the grown witness is an eighth more
// than that (the doubling's last step from 256 MiB), at most a quarter of
// the drive: every byte of it is saved, checksummed, written back and read
// back. A larger cache only a replug rules out.
constexpr uint64_t first_witness = 8 * mib;
constexpr uint64_t grown_witness = largest_reported_cache + largest_reported_cache / 8;
constexpr uint64_t grown_witness_fraction = 4;
// The first witness as a fraction of the drive, at most largest_first_witness
// and an eighth of the drive (it is saved in memory too); the scan reads one
// sector every first witness across the drive.
constexpr uint64_t witness_fraction = 4096;
constexpr uint64_t largest_first_witness = 128 * mib;
// The witness is read back every this many bytes.
constexpr uint64_t witness_read_stride = 64 * 1024;
// The scan reads every witness_read_stride over this many witnesses' worth
// of the drive's low end.
constexpr uint64_t fine_scan_witnesses = 16;
// A cache bounded this closely by the first pass's reads is not measured
// with writes.
constexpr uint64_t closely_enough = 64 * 1024;

uint64_t first_witness_size(uint64_t size, uint64_t sector) {
    uint64_t witness = std::max(first_witness, size / witness_fraction);
    witness = std::min({witness, largest_first_witness, size / 8});
    return std::max(align_down(witness, sector), sector);
}

uint64_t grown_witness_size(uint64_t size, uint64_t sector) {
    uint64_t witness = std::min(grown_witness, size / grown_witness_fraction);
    return std::max(align_down(witness, sector), first_witness_size(size, sector));
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
    pass->witness_start = probe->size - first_witness_size(probe->size, probe->sector);
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

// The places, where the probe wrote them: those that could not be saved,
// and so were not written, are left out.
std::vector<uint64_t> written_places(const FirstPass* pass) {
    std::vector<uint64_t> places;
    for (size_t k = 0; k < pass->places.size(); ++k) {
        if (pass->sampled[k] != 0) {
            places.push_back(pass->places[k]);
        }
    }
    return places;
}

// Adds what the sectors at addresses read back as to findings.
void note_all(Probe* probe, Findings* findings, const std::vector<uint64_t>& addresses,
              bool kept_places) {
    for (const Observation& seen : look_at_all(probe, addresses)) {
        note(probe, findings, seen, kept_places);
    }
}

// Reads the places back into findings; one that could not be saved, and so
// was not written, counts as unreadable.
void note_places(Probe* probe, const FirstPass* pass, Findings* findings, bool kept_places) {
    for (size_t k = 0; k < pass->places.size(); ++k) {
        if (pass->sampled[k] == 0) {
            note(probe, findings, Observation{pass->places[k], sector_unreadable, 0}, kept_places);
        }
    }
    note_all(probe, findings, written_places(pass), kept_places);
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
    uint64_t full = grown_witness_size(probe->size, probe->sector);
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
    std::vector<uint64_t> witness;
    for (uint64_t at = pass->witness_start; at < probe->size; at += witness_read_stride) {
        witness.push_back(at);
    }
    witness.push_back(probe->size - probe->sector);
    note_all(probe, &findings, witness, false);
    // Finely over the low end, where a kept low area ends and the top of a
    // drive that is fake only in its last few MiB lands; then coarsely.
    uint64_t fine_end = probe->result->fine_scan_end;
    uint64_t coarse = probe->result->scan_stride;
    for (uint64_t at = 0; scan && at < pass->witness_start && !should_stop(probe);) {
        std::vector<uint64_t> stretch;
        for (; at < pass->witness_start && stretch.size() < looks_at_once;
             at += at < fine_end ? witness_read_stride : coarse) {
            stretch.push_back(at);
        }
        for (const Observation& seen : look_at_all(probe, stretch)) {
            if (seen.kind == sector_moved) {
                note(probe, &findings, seen, false);
            }
        }
    }
    return findings;
}

// Whether the writes made before the witness grew still read back as
// written: the places, the top sector and the first witness, the oldest
// of all. A cache that the grown witness pushed out loses them first (the
// top of the drive lies past any capacity), so where they hold, the rest
// of the witness, younger, is not read until it has its full size.
bool oldest_writes_hold(Probe* probe, const FirstPass* pass) {
    std::vector<uint64_t> oldest = written_places(pass);
    uint64_t first_start = probe->size - first_witness_size(probe->size, probe->sector);
    for (uint64_t at = first_start; at < probe->size; at += witness_read_stride) {
        oldest.push_back(at);
    }
    oldest.push_back(probe->size - probe->sector);
    for (const Observation& seen : look_at_all(probe, oldest)) {
        if (seen.kind != sector_own) {
            return false;
        }
    }
    return written_places(pass).size() == pass->places.size();
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

// Everything read back as written, the oldest write read (the top sector)
// as old as the witness: a cache that large would have answered for it.
// After a replug no cache answers: the places and the witness are read
// again. What reads back lost then lies past a capacity that a cache
// larger than the witness hid: it lies between the last place that held
// and the first that did not.
void look_after_replug(Probe* probe, const FirstPass* pass) {
    ProbeResult* result = probe->result;
    result->cache_ruled_out = write_age(probe, probe->size - probe->sector) - probe->sector;
    if (!ask_replug(probe, "to read the drive back where no cache of its own can answer")) {
        return;
    }
    Findings findings = read_first_pass(probe, pass, false);
    if (should_stop(probe)) {
        return;
    }
    if (findings.shared_distance != 0) {
        settle_wrapped_capacity(probe, &findings);
        return;
    }
    if (findings.first_lost == UINT64_MAX) {
        result->cache_ruled_out = UINT64_MAX;
        return;
    }
    uint64_t held = 0;
    for (const Answered& seen : findings.answered) {
        if (seen.address < findings.first_lost) {
            held = std::max(held, seen.address + probe->sector);
        }
    }
    result->past = past_of(findings.lost_kind);
    result->capacity = held;
    result->capacity_at_most = findings.first_lost;
    result->cache_bytes = result->cache_ruled_out + probe->sector;
    result->largest_gap = largest_gap(&findings.kept, 0, held);
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
    // Each step first reads the oldest writes alone; the whole witness is
    // read where one of them is lost, and at the full size.
    uint64_t full = grown_witness_size(probe->size, probe->sector);
    while (grow_witness(probe, &pass)) {
        if (probe->size - pass.witness_start < full && oldest_writes_hold(probe, &pass)) {
            continue;
        }
        findings = read_first_pass(probe, &pass, false);
        if (should_stop(probe) || settle(probe, &findings)) {
            return;
        }
    }
    probe->result->past = past_nothing;
    probe->result->capacity = probe->size;
    // The witness held as a whole.
    probe->result->largest_gap = largest_gap(&findings.kept, 0, pass.witness_start);
    look_after_replug(probe, &pass);
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
    probe.saved.bytes.reserve(static_cast<size_t>(grown_witness_size(probe.size, sector)) +
                              io_chunk);
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
    // A capacity bounded by reads after a replug has no second look: its
    // writes would be answered from the cache that hid the first.
    if (!should_stop(&probe) && result->capacity_at_most == 0) {
        look_again(&probe);
    }
    if (probe.event != past_nothing) {
        settle_event(&probe);
    }
    settle_end(&probe);
    if (!options->destructive) {
        restore_at_end(&probe);
    }
    result->seconds = device->seconds(device->context) - started;
    return result->end == probe_finished && (options->destructive || result->restored);
}
