#include "drive_speed.h"

#include "progress.h"

#include <cstring>

namespace {

constexpr uint64_t mebibyte = uint64_t{1} << 20;
constexpr uint64_t least_reserve = uint64_t{8} << 20;

// The next piece of the stream into work->piece.
void make_piece(SpeedWork* work) {
    for (size_t at = 0; at < speed_piece_bytes; at += block_bytes) {
        fill_block(&work->stream, work->piece + at);
    }
}

// Fails the phase what with error.
SpeedEnd phase_failed(SpeedWork* work, const char* what, int error) {
    work->failed = what;
    work->error = error;
    return speed_failed;
}

// The write of work->size bytes; the time spent making the stream counts
// for nothing.
SpeedEnd write_sequential(SpeedWork* work) {
    Progress progress;
    progress_start(&progress, "written", work->size);
    progress.rates = &work->write_rates;
    rates_start(&work->write_rates, speed_stretch_bytes(work->size), progress.started);
    uint64_t done = 0;
    SpeedEnd end = speed_done;
    while (done < work->size && end == speed_done) {
        if (stop_requested != 0) {
            end = speed_interrupted;
            break;
        }
        make_piece(work);
        rates_pause(&work->write_rates, clock_seconds());
        int error = 0;
        int64_t written = write_at(work->file, work->piece, speed_piece_bytes, done, &error);
        if (written == static_cast<int64_t>(speed_piece_bytes)) {
            done += speed_piece_bytes;
            progress_tick(&progress, done, no_damage_count);
        } else if (written >= 0 || error_is_full(error)) {
            break; // the file system is full: what was written is measured
        } else if (!error_is_interruption(error)) {
            end = phase_failed(work, "write", error);
        }
    }
    int flushed = end == speed_done ? flush_file(work->file) : 0;
    rates_note(&work->write_rates, done, clock_seconds());
    progress_end(&progress, done, no_damage_count);
    work->size = done;
    return flushed != 0 ? phase_failed(work, "flush", flushed) : end;
}

SpeedEnd read_sequential(SpeedWork* work) {
    Progress progress;
    progress_start(&progress, "read", work->size);
    progress.rates = &work->read_rates;
    rates_start(&work->read_rates, speed_stretch_bytes(work->size), progress.started);
    uint64_t done = 0;
    while (done < work->size) {
        if (stop_requested != 0) {
            progress_end(&progress, done, no_damage_count);
            return speed_interrupted;
        }
        int error = 0;
        int64_t got = read_at(work->file, work->piece, speed_piece_bytes, done, &error);
        if (got <= 0 && !error_is_interruption(error)) {
            progress_end(&progress, done, no_damage_count);
            return phase_failed(work, "read", got == 0 ? 0 : error);
        }
        done += got > 0 ? static_cast<uint64_t>(got) : 0;
        progress_tick(&progress, done, no_damage_count);
    }
    progress_end(&progress, done, no_damage_count);
    return speed_done;
}

// One run of random accesses by one or more threads side by side.
struct RandomPhase {
    SpeedWork* work;
    bool writing;
    double until; // on the clock
    uint64_t accesses[most_side_by_side];
    double ended[most_side_by_side];
    int errors[most_side_by_side];
};

// The accesses of thread index: 4 KiB at places spread evenly over what
// was written, each place the generator's, until the phase's time is up.
void access_at_random(void* context, unsigned index) {
    RandomPhase* phase = static_cast<RandomPhase*>(context);
    SpeedWork* work = phase->work;
    unsigned char* buffer = work->piece + speed_piece_bytes + index * random_access_bytes;
    GeneratorState places = work->stream;
    places.counter += index * 0x9e3779b9u;
    uint64_t count = work->size / random_access_bytes;
    unsigned char block[block_bytes];
    uint64_t accesses = 0;
    int error = 0;
    double now = clock_seconds();
    for (; now < phase->until && stop_requested == 0 && error == 0; now = clock_seconds()) {
        if (phase->writing && accesses % (block_bytes / random_access_bytes) == 0) {
            fill_block(&places, block);
        }
        uint64_t place = (uint64_t{next_word(&places)} << 32 | next_word(&places)) % count;
        uint64_t offset = place * random_access_bytes;
        int64_t done;
        if (phase->writing) {
            size_t part = accesses % (block_bytes / random_access_bytes) * random_access_bytes;
            std::memcpy(buffer, block + part, random_access_bytes);
            done = write_at(work->file, buffer, random_access_bytes, offset, &error);
        } else {
            done = read_at(work->file, buffer, random_access_bytes, offset, &error);
        }
        if (done == static_cast<int64_t>(random_access_bytes)) {
            ++accesses;
        } else if (done >= 0 || !error_is_interruption(error)) {
            error = error != 0 ? error : -1;
        } else {
            error = 0;
        }
    }
    phase->accesses[index] = accesses;
    phase->ended[index] = now;
    phase->errors[index] = error;
}

// The accesses a second of one phase, by threads side by side (1: queue
// depth 1); not_measured where fewer threads ran. Its end.
SpeedEnd run_random_phase(SpeedWork* work, bool writing, unsigned threads, double* per_second) {
    RandomPhase phase = {};
    phase.work = work;
    phase.writing = writing;
    double started = clock_seconds();
    phase.until = started + random_phase_seconds;
    unsigned ran = 1;
    if (threads == 1) {
        access_at_random(&phase, 0);
    } else {
        ran = run_side_by_side(threads, access_at_random, &phase);
    }
    uint64_t accesses = 0;
    double ended = started;
    for (unsigned i = 0; i < ran; ++i) {
        accesses += phase.accesses[i];
        ended = phase.ended[i] > ended ? phase.ended[i] : ended;
        if (phase.errors[i] != 0) {
            return phase_failed(work, writing ? "random write" : "random read", phase.errors[i]);
        }
    }
    *per_second = ran == threads && ended > started
                      ? static_cast<double>(accesses) / (ended - started)
                      : not_measured;
    return stop_requested != 0 ? speed_interrupted : speed_done;
}

} // namespace

uint64_t plan_speed_bytes(uint64_t free_bytes, uint64_t asked) {
    uint64_t reserve = free_bytes / 16 > least_reserve ? free_bytes / 16 : least_reserve;
    uint64_t room = free_bytes > reserve ? free_bytes - reserve : 0;
    uint64_t wanted = asked != 0 ? asked : most_speed_bytes;
    uint64_t size = (wanted < room ? wanted : room) / speed_piece_bytes * speed_piece_bytes;
    return size >= least_speed_bytes ? size : 0;
}

uint64_t speed_stretch_bytes(uint64_t size) {
    uint64_t stretch = (size / 128 + mebibyte - 1) / mebibyte * mebibyte;
    return stretch > mebibyte ? stretch : mebibyte;
}

SpeedEnd measure_sequential(SpeedWork* work) {
    SpeedEnd end = write_sequential(work);
    return end == speed_done ? read_sequential(work) : end;
}

SpeedEnd measure_random(SpeedWork* work) {
    SpeedFigures* figures = &work->figures;
    struct Phase {
        bool writing;
        unsigned threads;
        double* per_second;
    };
    const Phase phases[] = {
        {false, 1, &figures->random_read_iops},
        {true, 1, &figures->random_write_iops},
        {false, deep_queue_threads, &figures->deep_read_iops},
        {true, deep_queue_threads, &figures->deep_write_iops},
    };
    for (const Phase& phase : phases) {
        SpeedEnd end = run_random_phase(work, phase.writing, phase.threads, phase.per_second);
        if (end != speed_done) {
            return end;
        }
    }
    work->deep_queue = figures->deep_read_iops >= 0 ? deep_queue_threads : 0;
    int flushed = flush_file(work->file);
    return flushed == 0 ? speed_done : phase_failed(work, "flush", flushed);
}

void find_speed_figures(SpeedWork* work) {
    work->cliff = table_cliff(&work->write_rates);
    work->figures.sustained_write = sustained_rate(&work->cliff);
    work->figures.sequential_read = table_rate(&work->read_rates);
}
