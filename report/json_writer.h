// JSON text, made a member at a time and handed to a writer in pieces: the
// caller says where it goes. Strings are escaped so that any bytes make
// valid JSON: see escape_json_string.
#pragma once

#include <cstddef>
#include <cstdint>

// Takes the text a piece at a time (the same shape as ReportWriter).
using TextWriter = void (*)(void* context, const char* text);

// How deep objects and arrays may nest.
constexpr int json_deepest = 16;

struct JsonText {
    TextWriter write;
    void* context;
    int depth;                    // objects and arrays open
    bool has_items[json_deepest]; // whether the one at each depth has an item yet
};

void json_start(JsonText* json, TextWriter write, void* context);

// Each value below is an object's member named key, or, with key nullptr,
// an item of an array (or the document itself).
void json_begin_object(JsonText* json, const char* key);
void json_end_object(JsonText* json);
void json_begin_array(JsonText* json, const char* key);
void json_end_array(JsonText* json);
void json_string(JsonText* json, const char* key, const char* value);
void json_uint(JsonText* json, const char* key, uint64_t value);
void json_int(JsonText* json, const char* key, int64_t value);
// With six decimals; null when it is no finite number.
void json_decimal(JsonText* json, const char* key, double value);
void json_bool(JsonText* json, const char* key, bool value);
void json_null(JsonText* json, const char* key);
// A value where there is one, null where there is none: a string that is
// empty or nullptr, a number that is not known.
void json_string_or_null(JsonText* json, const char* key, const char* value);
void json_uint_or_null(JsonText* json, const char* key, bool known, uint64_t value);

// Writes text as a JSON string, quotes and all: valid UTF-8 as it is, with
// quote, backslash and control characters escaped (\n, \t, ..., \u001b,
// \u007f); every byte that is not part of valid UTF-8 as \u00XX, the
// character of the same number (so "\xE9" becomes "\u00e9": é).
void escape_json_string(const char* text, TextWriter write, void* context);

// The length of the valid UTF-8 sequence at text (1 to 4), or 0 when the
// bytes there are none (a stray byte, an overlong form, a surrogate, a
// code point past U+10FFFF, or a sequence cut short).
size_t utf8_sequence_length(const unsigned char* text);
