#include "probe_json.h"

#include "json_output.h"
#include "probe_report.h"

namespace {

// The probe's finding in a word: "genuine", "fake", "unstable", or
// "stopped" before an answer.
const char* kind_word(const ProbeResult* result) {
    if (result->end != probe_finished) {
        return "stopped";
    }
    if (result->unstable) {
        return "unstable";
    }
    return result->past == past_nothing ? "genuine" : "fake";
}

void write_findings(JsonText* json, const ProbeResult* result) {
    bool finished = result->end == probe_finished;
    bool less = finished && result->past != past_nothing;
    json_uint_or_null(json, "capacity", finished, result->capacity);
    json_uint_or_null(json, "capacity_at_most", finished && result->capacity_at_most > 0,
                      result->capacity_at_most);
    json_uint_or_null(json, "second_capacity", finished && result->unstable,
                      result->second_capacity);
    if (finished) {
        json_string(json, "past_capacity", past_word(result->past));
    } else {
        json_null(json, "past_capacity");
    }
    json_uint_or_null(json, "wrap_distance", less && result->past == past_wraps,
                      result->wrap_distance);
    json_uint_or_null(json, "low_area", less && result->past == past_wraps, result->low_area);
    if (!finished) {
        json_null(json, "cache");
        json_null(json, "looked");
        return;
    }
    json_begin_object(json, "cache");
    json_bool(json, "measured", result->cache_measured);
    json_uint(json, "bytes", result->cache_bytes);
    json_uint_or_null(json, "at_most", result->cache_at_most > 0, result->cache_at_most);
    // No cache up to this size can have hidden a loss; a replug that read
    // the drive back as written rules out a cache of any size.
    bool any = result->cache_ruled_out == UINT64_MAX;
    json_uint_or_null(json, "ruled_out_up_to", !any && result->cache_ruled_out > 0,
                      result->cache_ruled_out);
    json_bool(json, "ruled_out_by_replug", any);
    json_end_object(json);
    json_bool(json, "replugged", result->replugged);
    json_begin_object(json, "looked");
    json_uint(json, "places_sampled", result->places_sampled);
    json_uint(json, "largest_gap", result->largest_gap);
    json_uint(json, "witness_bytes", result->witness_bytes);
    json_uint(json, "scan_stride", result->scan_stride);
    json_uint(json, "fine_scan_end", result->fine_scan_end);
    json_end_object(json);
}

void write_work(JsonText* json, const ProbeResult* result) {
    json_begin_object(json, "written");
    json_uint(json, "bytes", result->bytes_written);
    json_uint(json, "writes", result->writes);
    json_decimal(json, "seconds", result->write_seconds);
    json_end_object(json);
    json_begin_object(json, "read");
    json_uint(json, "bytes", result->bytes_read);
    json_uint(json, "reads", result->reads);
    json_decimal(json, "seconds", result->read_seconds);
    json_end_object(json);
    json_decimal(json, "seconds", result->seconds);
}

// What became of the drive's data: saved to the backup and all put back,
// not all put back (the backup kept), or not saved (--destructive).
void write_data(JsonText* json, const ProbeRecord* probe) {
    const ProbeResult* result = probe->result;
    bool saved = probe->backup[0] != '\0';
    json_begin_object(json, "data");
    json_string(json, "fate",
                !saved             ? "not_saved"
                : result->restored ? "restored"
                                   : "not_restored");
    json_uint(json, "bytes_saved", result->bytes_saved);
    if (saved) {
        json_string(json, "backup", probe->backup);
    } else {
        json_null(json, "backup");
    }
    json_bool(json, "backup_removed", probe->backup_removed);
    json_decimal(json, "restore_seconds", result->restore.seconds);
    json_end_object(json);
}

void write_partition(JsonText* json, const ProbeResult* result) {
    PartitionAdvice partition = partition_advice(result);
    if (result->end != probe_finished || result->past == past_nothing || result->unstable ||
        partition.sectors == 0) {
        json_null(json, "partition");
        return;
    }
    json_begin_object(json, "partition");
    json_uint(json, "start", partition.start);
    json_uint(json, "sectors", partition.sectors);
    json_uint(json, "sector_size", result->sector_size);
    json_end_object(json);
}

void write_probe(JsonText* json, const ProbeRecord* probe) {
    const ProbeResult* result = probe->result;
    if (result == nullptr) {
        json_null(json, "probe");
        return;
    }
    json_begin_object(json, "probe");
    json_string(json, "device", probe->device);
    json_string(json, "kind", kind_word(result));
    json_uint(json, "claimed_bytes", result->claimed_bytes);
    json_uint(json, "sector_size", result->sector_size);
    write_findings(json, result);
    if (result->end == probe_finished) {
        json_null(json, "stopped");
    } else {
        json_string(json, "stopped", result->stop_reason);
    }
    write_work(json, result);
    write_data(json, probe);
    write_partition(json, result);
    json_end_object(json);
}

} // namespace

void write_probe_json(const ProbeRecord* probe, TextWriter write, void* context) {
    JsonText json;
    json_start(&json, write, context);
    json_begin_object(&json, nullptr);
    char verdict[512] = "";
    if (probe->result != nullptr) {
        format_probe_verdict(probe->result, verdict, sizeof verdict);
    }
    write_run_head(&json, mode_probe, probe->outcome, probe->result != nullptr ? verdict : nullptr,
                   probe->error);
    write_check_members_absent(&json);
    if (probe->drive != nullptr) {
        write_identity_json(&json, "drive", probe->drive, probe->today);
    } else {
        json_null(&json, "drive");
    }
    write_probe(&json, probe);
    json_end_object(&json);
}
