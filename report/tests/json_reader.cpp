#include "json_reader.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Reader {
    const std::string& text;
    size_t at;
    std::string error;
};

bool fail(Reader* reader, const std::string& what) {
    if (reader->error.empty()) {
        reader->error = what + " at byte " + std::to_string(reader->at);
    }
    return false;
}

void skip_space(Reader* reader) {
    while (reader->at < reader->text.size() &&
           std::strchr(" \t\r\n", reader->text[reader->at]) != nullptr &&
           reader->text[reader->at] != '\0') {
        ++reader->at;
    }
}

bool take(Reader* reader, char c) {
    skip_space(reader);
    if (reader->at < reader->text.size() && reader->text[reader->at] == c) {
        ++reader->at;
        return true;
    }
    return false;
}

bool take_word(Reader* reader, const char* word) {
    size_t length = std::strlen(word);
    if (reader->text.compare(reader->at, length, word) != 0) {
        return fail(reader, std::string("expected ") + word);
    }
    reader->at += length;
    return true;
}

// The UTF-8 of code point, added to out.
void add_utf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool read_hex4(Reader* reader, uint32_t* code) {
    if (reader->at + 4 > reader->text.size()) {
        return fail(reader, "a \\u escape cut short");
    }
    char digits[5] = {};
    reader->text.copy(digits, 4, reader->at);
    char* end = nullptr;
    *code = static_cast<uint32_t>(std::strtoul(digits, &end, 16));
    if (end != digits + 4) {
        return fail(reader, "a \\u escape that is not four hex digits");
    }
    reader->at += 4;
    return true;
}

bool read_escape(Reader* reader, std::string* out) {
    static const char simple[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
    char c = reader->text[reader->at++];
    for (size_t i = 0; simple[i] != '\0'; i += 2) {
        if (simple[i] == c) {
            *out += simple[i + 1];
            return true;
        }
    }
    uint32_t code = 0;
    if (c != 'u' || !read_hex4(reader, &code)) {
        return fail(reader, "an escape JSON does not have");
    }
    if (code >= 0xD800 && code < 0xDC00) {
        uint32_t low = 0;
        if (!take_word(reader, "\\u") || !read_hex4(reader, &low) || low < 0xDC00 ||
            low >= 0xE000) {
            return fail(reader, "a surrogate without its pair");
        }
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (code >= 0xDC00 && code < 0xE000) {
        return fail(reader, "a lone low surrogate");
    }
    add_utf8(code, out);
    return true;
}

bool read_string(Reader* reader, std::string* out) {
    if (!take(reader, '"')) {
        return fail(reader, "expected a string");
    }
    out->clear();
    while (reader->at < reader->text.size()) {
        unsigned char c = static_cast<unsigned char>(reader->text[reader->at++]);
        if (c == '"') {
            return true;
        }
        if (c < 0x20) {
            return fail(reader, "a control byte in a string");
        }
        if (c == '\\') {
            if (reader->at >= reader->text.size() || !read_escape(reader, out)) {
                return fail(reader, "a bad escape");
            }
            continue;
        }
        *out += static_cast<char>(c);
    }
    return fail(reader, "a string cut short");
}

bool read_number(Reader* reader, std::string* out) {
    size_t start = reader->at;
    const std::string& t = reader->text;
    auto digits = [&] {
        size_t from = reader->at;
        while (reader->at < t.size() && t[reader->at] >= '0' && t[reader->at] <= '9') {
            ++reader->at;
        }
        return reader->at - from;
    };
    if (reader->at < t.size() && t[reader->at] == '-') {
        ++reader->at;
    }
    size_t whole = digits();
    if (whole == 0 || (whole > 1 && t[reader->at - whole] == '0')) {
        return fail(reader, "a number JSON does not have");
    }
    if (reader->at < t.size() && t[reader->at] == '.') {
        ++reader->at;
        if (digits() == 0) {
            return fail(reader, "a number without decimals after its point");
        }
    }
    if (reader->at < t.size() && (t[reader->at] == 'e' || t[reader->at] == 'E')) {
        ++reader->at;
        if (reader->at < t.size() && (t[reader->at] == '+' || t[reader->at] == '-')) {
            ++reader->at;
        }
        if (digits() == 0) {
            return fail(reader, "a number without its exponent");
        }
    }
    *out = t.substr(start, reader->at - start);
    return true;
}

bool read_value(Reader* reader, JsonValue* value, int depth);

bool read_items(Reader* reader, JsonValue* value, int depth, char close) {
    if (take(reader, close)) {
        return true;
    }
    do {
        if (close == '}') {
            value->keys.emplace_back();
            if (!read_string(reader, &value->keys.back()) || !take(reader, ':')) {
                return fail(reader, "expected a member");
            }
        }
        value->items.emplace_back();
        if (!read_value(reader, &value->items.back(), depth + 1)) {
            return false;
        }
    } while (take(reader, ','));
    return take(reader, close) || fail(reader, "expected , or the end");
}

bool read_value(Reader* reader, JsonValue* value, int depth) {
    if (depth > 64) {
        return fail(reader, "nested too deep");
    }
    skip_space(reader);
    if (reader->at >= reader->text.size()) {
        return fail(reader, "the text ends before a value");
    }
    char c = reader->text[reader->at];
    if (c == '{' || c == '[') {
        ++reader->at;
        value->type = c == '{' ? json_type_object : json_type_array;
        return read_items(reader, value, depth, c == '{' ? '}' : ']');
    }
    if (c == '"') {
        value->type = json_type_string;
        return read_string(reader, &value->text);
    }
    if (c == 't' || c == 'f') {
        value->type = json_type_bool;
        value->truth = c == 't';
        return take_word(reader, c == 't' ? "true" : "false");
    }
    if (c == 'n') {
        value->type = json_type_null;
        return take_word(reader, "null");
    }
    value->type = json_type_number;
    return read_number(reader, &value->text);
}

// The length of the valid UTF-8 sequence at text[at], 0 where there is none.
size_t utf8_length(const std::string& text, size_t at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    size_t length = c < 0x80             ? 1
                    : (c & 0xE0) == 0xC0 ? 2
                    : (c & 0xF0) == 0xE0 ? 3
                    : (c & 0xF8) == 0xF0 ? 4
                                         : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    bool surrogate = code >= 0xD800 && code < 0xE000;
    return code < least[length] || code > 0x10FFFF || surrogate ? 0 : length;
}

} // namespace

bool parse_json(const std::string& text, JsonValue* document, std::string* error) {
    for (size_t at = 0; at < text.size();) {
        size_t length = utf8_length(text, at);
        if (length == 0) {
            *error = "not UTF-8 at byte " + std::to_string(at);
            return false;
        }
        at += length;
    }
    Reader reader = {text, 0, ""};
    *document = JsonValue{};
    bool read = read_value(&reader, document, 0);
    skip_space(&reader);
    if (read && reader.at != text.size()) {
        read = fail(&reader, "text after the document");
    }
    *error = reader.error;
    return read;
}

const JsonValue* json_at(const JsonValue& root, const std::string& path) {
    const JsonValue* value = &root;
    size_t at = 0;
    while (value != nullptr && at <= path.size() && !path.empty()) {
        size_t dot = path.find('.', at);
        std::string part = path.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        const JsonValue* next = nullptr;
        if (value->type == json_type_object) {
            for (size_t i = 0; i < value->keys.size(); ++i) {
                next = value->keys[i] == part ? &value->items[i] : next;
            }
        } else if (value->type == json_type_array && !part.empty() &&
                   part.find_first_not_of("0123456789") == std::string::npos) {
            size_t index = std::strtoul(part.c_str(), nullptr, 10);
            next = index < value->items.size() ? &value->items[index] : nullptr;
        }
        value = next;
        if (dot == std::string::npos) {
            break;
        }
        at = dot + 1;
    }
    return value;
}

std::string json_text_at(const JsonValue& root, const std::string& path) {
    const JsonValue* value = json_at(root, path);
    if (value == nullptr) {
        return "(none)";
    }
    switch (value->type) {
    case json_type_null:
        return "null";
    case json_type_bool:
        return value->truth ? "true" : "false";
    case json_type_array:
        return "(array)";
    case json_type_object:
        return "(object)";
    default:
        return value->text;
    }
}

uint64_t json_number(const JsonValue* value) {
    if (value == nullptr || value->type != json_type_number ||
        value->text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return std::strtoull(value->text.c_str(), nullptr, 10);
}
