// Streams as sprayl writes them, the check run over a whole input, and its
// report as text.
#pragma once

#include "check_report.h"
#include "reference_stream.h"
#include "stream_check.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<unsigned char>;

// size bytes of the stream of the run whose register starts as the words
// w0..w3 (newest first), as the generator defines it: word by word, not
// with the block fill that the check predicts with.
inline Bytes make_stream(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, size_t size) {
    return reference_bytes(GeneratorState{{w0, w1, w2, w3}, 0}, size);
}

inline Bytes test_stream(size_t size) {
    return make_stream(0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834, size);
}

// Input ranges [start, end) that read as errors, in order.
using Ranges = std::vector<std::pair<size_t, size_t>>;

// Runs the whole check over input, handing it over chunk bytes at a time,
// and the ranges in unreadable as read errors; expected_size as for
// check_finish.
inline void check_in_chunks(StreamCheck* check, const Bytes& input, size_t chunk,
                            CheckEnd end = check_end_of_input, const Ranges& unreadable = {},
                            uint64_t expected_size = 0) {
    check_start(check);
    size_t at = 0;
    auto read_up_to = [check, &input, chunk, &at](size_t stop) {
        while (at < stop) {
            size_t size = stop - at < chunk ? stop - at : chunk;
            check_bytes(check, input.data() + at, size);
            at += size;
        }
    };
    for (const auto& range : unreadable) {
        read_up_to(range.first);
        check_unreadable(check, range.second - range.first);
        at = range.second;
    }
    read_up_to(input.size());
    check_finish(check, end, expected_size);
}

inline void append_line(void* text, const char* line) {
    static_cast<std::string*>(text)->append(line);
}

// The report of a finished check.
inline std::string report_text(const CheckResult* result) {
    std::string text;
    write_report(result, append_line, &text);
    return text;
}
