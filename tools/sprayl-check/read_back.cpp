#include "read_back.h"

#include "stream_check.h"
#include "system.h"

#include <cstdio>
#include <cstring>

namespace {

// splitmix64: a different place each round, from a start of the run's own.
uint64_t next_random(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The file among starts[0..files) that holds stream offset offset.
uint32_t file_holding(const uint64_t* starts, uint32_t files, uint64_t offset) {
    uint32_t low = 0;
    uint32_t high = files;
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        if (starts[middle] <= offset) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

// Reads up to size bytes of the file at offset into buffer; *error is set
// where a read failed. Returns the bytes read.
uint32_t read_piece(OpenInput* input, unsigned char* buffer, uint32_t size, uint64_t offset,
                    int* error) {
    // Reads around the cache take whole pages: a piece that ends with its
    // file ends short of one, and the read there comes back short.
    uint32_t asked = (size + 4095) / 4096 * 4096;
    uint32_t got = 0;
    while (got < size) {
        int64_t read = read_input(input, buffer + got, asked - got, offset + got, error);
        if (read > 0) {
            got += static_cast<uint32_t>(read);
        } else if (read == 0) {
            break;
        } else if (error_is_interruption(*error)) {
            continue;
        } else if (error_is_misalignment(*error) && input->around_cache &&
                   reopen_through_cache(input) == 0) {
            continue;
        } else {
            break;
        }
    }
    return got < size ? got : size;
}

// Reads one piece back and checks it.
ReadBackResult read_back_piece(ReadBack* read_back, const uint64_t* starts, uint32_t files,
                               const SamplePlace& place, bool* drive_reached) {
    char name[fill_name_capacity];
    char path[path_capacity];
    fill_file_name(place.file + 1, name, sizeof name);
    fill_file_path(read_back->directory->path, place.file + 1, path, sizeof path);
    uint64_t file_offset = place.stream_offset - starts[place.file];
    OpenInput input = {};
    input.path = path;
    int error = open_input_in(read_back->directory, name, &input);
    // A file that its drive fails to give reads as nothing: unreadable. One
    // that cannot be opened for any other reason tells nothing of the drive.
    if (error != 0 && !error_is_drive_failure(error)) {
        close_input(&input);
        read_back->error = error;
        std::snprintf(read_back->failed_path, sizeof read_back->failed_path, "%s", path);
        return piece_not_read;
    }
    // Once a round: dropping a FUSE file system's device from the cache
    // serves every piece after it, and each drop costs its daemon the
    // reading of its tables anew.
    char why[512];
    if (error == 0 && !*drive_reached) {
        reach_the_drive(&input, why, sizeof why);
        *drive_reached = true;
    }
    uint32_t got =
        error == 0 ? read_piece(&input, read_back->buffer, place.size, file_offset, &error) : 0;
    close_input(&input);
    if (got < place.size && error_is_gone(error)) {
        read_back->error = error;
        std::snprintf(read_back->failed_path, sizeof read_back->failed_path, "%s", path);
        return piece_not_read;
    }
    ++read_back->pieces_read;
    StreamCheck* piece_check = &read_back->check;
    check_start_piece(piece_check, &read_back->seed, place.stream_offset, starts[files]);
    check_bytes(piece_check, read_back->buffer, got);
    if (got < place.size) {
        check_unreadable(piece_check, place.size - got);
    }
    check_finish(piece_check, check_end_of_input, place.size);
    const CheckResult& result = piece_check->result;
    if (!check_found_damage(&result) ||
        bytes_damaged(&result) + (result.slip_count > 0 ? place.size : 0) <
            place.size / sample_damaged_share) {
        return pieces_kept;
    }
    SampleFinding* finding = &read_back->finding;
    finding->found = true;
    finding->file = place.file + 1;
    finding->kind = damage_misplaced;
    finding->source = 0;
    uint64_t at = 0;
    if (result.stretch_count > 0) {
        const Stretch& first = result.stretches[0];
        at = first.start;
        finding->kind = first.kind;
        finding->source = first.source;
    } else if (result.slip_count > 0) {
        at = result.slips[0].offset;
        finding->source = static_cast<uint64_t>(static_cast<int64_t>(place.stream_offset + at) +
                                                result.slips[0].shift);
    }
    finding->file_offset = file_offset + at;
    finding->stream_offset = place.stream_offset + at;
    return piece_not_kept;
}

} // namespace

SamplePlace sample_place(const uint64_t* starts, uint32_t files, uint64_t from, uint64_t to,
                         uint64_t choice) {
    uint64_t offset = from + choice % (to - from);
    SamplePlace place;
    place.file = file_holding(starts, files, offset);
    uint64_t file_start = starts[place.file];
    uint64_t file_end = starts[place.file + 1];
    // Reads around the cache start at whole pages of the file.
    uint64_t in_file = (offset - file_start) / 4096 * 4096;
    place.stream_offset = file_start + in_file;
    uint64_t left = file_end - place.stream_offset;
    place.size = left < sample_piece_bytes ? static_cast<uint32_t>(left) : sample_piece_bytes;
    return place;
}

bool read_back_start(ReadBack* read_back, const OpenDirectory* directory,
                     const GeneratorState* seed) {
    if (read_back->buffer == nullptr) {
        read_back->buffer = aligned_buffer(sample_piece_bytes);
    }
    read_back->directory = directory;
    read_back->seed = *seed;
    read_back->random = (uint64_t{seed->word[0]} << 32 | seed->word[1]) ^ seed->word[2];
    read_back->pieces_read = 0;
    read_back->finding = {};
    read_back->error = 0;
    read_back->failed_path[0] = '\0';
    return read_back->buffer != nullptr;
}

ReadBackResult read_back_files(ReadBack* read_back, const uint64_t* starts, uint32_t files) {
    if (files == 0) {
        return pieces_kept;
    }
    uint64_t new_start = starts[files - 1];
    uint64_t new_end = starts[files];
    bool drive_reached = false;
    for (uint32_t i = 0; i < pieces_in_new_file && new_end > new_start; ++i) {
        // The file's last piece first: a drive that loses writes past its
        // capacity loses the end of the file that crosses it.
        uint64_t choice = i == 0 ? new_end - new_start - 1 : next_random(&read_back->random);
        SamplePlace place = sample_place(starts, files, new_start, new_end, choice);
        ReadBackResult result = read_back_piece(read_back, starts, files, place, &drive_reached);
        if (result != pieces_kept) {
            return result;
        }
    }
    for (uint32_t part = 0; part < pieces_in_earlier_files && new_start > 0; ++part) {
        uint64_t from = new_start * part / pieces_in_earlier_files;
        uint64_t to = new_start * (part + 1) / pieces_in_earlier_files;
        if (to <= from) {
            continue;
        }
        SamplePlace place = sample_place(starts, files, from, to, next_random(&read_back->random));
        ReadBackResult result = read_back_piece(read_back, starts, files, place, &drive_reached);
        if (result != pieces_kept) {
            return result;
        }
    }
    return pieces_kept;
}
