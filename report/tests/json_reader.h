// A small, strict JSON reader for the tests: what the program writes for
// programs is read back in the test's own process, every member as a
// value, and text that is not strict JSON in valid UTF-8 (a stray byte, a
// trailing comma, NaN, text after the document) is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum JsonType {
    json_type_null,
    json_type_bool,
    json_type_number,
    json_type_string,
    json_type_array,
    json_type_object
};

struct JsonValue {
    JsonType type = json_type_null;
    bool truth = false;            // a bool's value
    std::string text;              // a string's value (escapes undone), a number as written
    std::vector<std::string> keys; // an object's member names, in order
    std::vector<JsonValue> items;  // an array's items, an object's members' values
};

// Reads text as one JSON document; false with error (and where) when it is
// not one.
bool parse_json(const std::string& text, JsonValue* document, std::string* error);

// The value at path: member names and item numbers joined by dots
// ("check.bytes.read", "inputs.files.0.name"); nullptr where there is none.
const JsonValue* json_at(const JsonValue& root, const std::string& path);

// The value at path as the test compares it: a string's text, a number as
// written, "true", "false" or "null"; "(none)" where there is no value,
// "(object)" or "(array)" for those.
std::string json_text_at(const JsonValue& root, const std::string& path);

// A whole number's value; 0 for anything else.
uint64_t json_number(const JsonValue* value);
