#include "replug.h"

#include <algorithm>
#include <cstdio>

namespace probe_internal {

bool ask_replug(Probe* probe, const char* why) {
    const ProbeDevice* device = probe->device;
    if (device->replug == nullptr || should_stop(probe)) {
        return false;
    }
    bool back = device->replug(device->context, why);
    probe->result->replugged = probe->result->replugged || back;
    // The drive that answers now is the one probed only if it holds the
    // probe's first write, which the drive took below anything it lost:
    // another drive of the same size and name must not be written to.
    if (back && !probe->write_log.empty() &&
        look_at(probe, probe->write_log.front().offset).kind != sector_own) {
        probe->foreign = true;
        fail(probe, probe_stopped_by_drive,
             "the drive that came back does not hold what the probe wrote first: it is not the"
             " drive probed, or it lost everything; nothing more was written to it");
        return false;
    }
    return back && !should_stop(probe);
}

void settle_event(Probe* probe) {
    ProbeResult* result = probe->result;
    // The event is the drive's answer, not a failure of the probe.
    probe->failed = false;
    probe->message[0] = '\0';
    result->stop_reason[0] = '\0';
    probe->back = ask_replug(probe, probe->event == past_gone
                                        ? "it stopped answering at a write past what it holds:"
                                          " to read it and write your data back"
                                        : "it turned read-only at a write past what it holds:"
                                          " to write your data back");
    bool readable = probe->back || probe->event == past_read_only;
    // The writes it took, lowest first: each held, unless a read shows
    // that it did not.
    std::vector<WriteEntry> taken;
    for (const WriteEntry& entry : probe->write_log) {
        if (entry.offset < probe->event_at) {
            taken.push_back(entry);
        }
    }
    std::sort(taken.begin(), taken.end(),
              [](const WriteEntry& a, const WriteEntry& b) { return a.offset < b.offset; });
    uint64_t held = 0;
    uint64_t gap = 0;
    uint64_t at_most = probe->event_at;
    for (const WriteEntry& entry : taken) {
        if (entry.offset >= at_most) {
            break;
        }
        if (readable && look_at(probe, entry.offset).kind != sector_own) {
            at_most = entry.offset;
            break;
        }
        gap = std::max(gap, entry.offset - std::min(entry.offset, held));
        held = std::max(held, std::min(entry.offset + entry.length, at_most));
    }
    // A drive that gives up at its first write past what it holds has taken
    // every write below and none above. Where the write it failed reached
    // the end of what it claims, it may hold all of it; where it had taken
    // a write above that one, it was not past what it holds there. Either
    // way it is not shown to hold less: it failed, and the probe stops and
    // names no capacity.
    uint64_t failed_end = probe->event_at + probe->sector;
    bool took_above =
        std::any_of(probe->write_log.begin(), probe->write_log.end(),
                    [failed_end](const WriteEntry& entry) { return entry.offset >= failed_end; });
    if (at_most + probe->sector >= probe->size || took_above) {
        char what[128];
        std::snprintf(what, sizeof what, "the drive %s at a write at byte %llu",
                      probe->event == past_gone ? "stopped answering" : "turned read-only",
                      static_cast<unsigned long long>(probe->event_at));
        fail(probe, probe_stopped_by_drive, what);
        return;
    }
    result->past = probe->event;
    result->capacity = held;
    result->capacity_at_most = at_most;
    result->unverified_below = !readable;
    result->largest_gap = std::max(gap, at_most - held);
    if (probe->failed) {
        // A read failed, then answered: nothing it read can be trusted.
        probe->event = past_nothing;
    }
}

} // namespace probe_internal
