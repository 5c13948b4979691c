// The sizes of the texts that sprayl-check's parts write into their
// callers' buffers: one place for each, so that a buffer and what fills it
// agree.
#pragma once

#include <cstddef>

// A path, with its terminating zero: the longest the program handles.
constexpr size_t path_capacity = 4096;

// A message that names a path: the path and the words around it.
constexpr size_t message_capacity = path_capacity + 256;

// The system's words for an error (error_text), given after a message.
constexpr size_t error_text_capacity = 128;

// A size or a rate as format_size and format_rate write it ("1.50 GiB",
// "412 MB/s").
constexpr size_t size_text_capacity = 32;

// An exact count of bytes as format_amount writes it ("2048 bytes (2.00
// KiB)").
constexpr size_t amount_text_capacity = 64;
