#include "json_writer.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Escaped text is gathered here, and handed on when nearly full.
struct Pieces {
    TextWriter write;
    void* context;
    char text[256];
    size_t used;
};

void put_text(Pieces* pieces, const char* text, size_t length) {
    if (pieces->used + length >= sizeof pieces->text) {
        pieces->text[pieces->used] = '\0';
        pieces->write(pieces->context, pieces->text);
        pieces->used = 0;
    }
    std::memcpy(pieces->text + pieces->used, text, length);
    pieces->used += length;
}

// The short escapes JSON has for some control characters; 0 where it has
// none.
char short_escape(unsigned char c) {
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The separator before a new item, its indentation and its key.
void begin_item(JsonText* json, const char* key) {
    if (json->depth > 0) {
        json->write(json->context, json->has_items[json->depth - 1] ? ",\n" : "\n");
        json->has_items[json->depth - 1] = true;
        for (int i = 0; i < json->depth; ++i) {
            json->write(json->context, "  ");
        }
    }
    if (key != nullptr) {
        escape_json_string(key, json->write, json->context);
        json->write(json->context, ": ");
    }
}

void open_level(JsonText* json, const char* key, const char* bracket) {
    begin_item(json, key);
    json->write(json->context, bracket);
    if (json->depth < json_deepest) {
        json->has_items[json->depth] = false;
    }
    ++json->depth;
}

void close_level(JsonText* json, const char* bracket) {
    --json->depth;
    if (json->depth < json_deepest && json->has_items[json->depth]) {
        json->write(json->context, "\n");
        for (int i = 0; i < json->depth; ++i) {
            json->write(json->context, "  ");
        }
    }
    json->write(json->context, bracket);
    if (json->depth == 0) {
        json->write(json->context, "\n");
    }
}

void put_value(JsonText* json, const char* key, const char* value) {
    begin_item(json, key);
    json->write(json->context, value);
}

} // namespace

size_t utf8_sequence_length(const unsigned char* text) {
    unsigned char lead = text[0];
    if (lead < 0x80) {
        return 1;
    }
    // The range the second byte must lie in, by lead byte: it rules out
    // overlong forms, surrogates and code points past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text[1] < low || text[1] > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!is_continuation(text[i])) {
            return 0;
        }
    }
    return length;
}

void escape_json_string(const char* text, TextWriter write, void* context) {
    Pieces pieces = {write, context, {}, 0};
    put_text(&pieces, "\"", 1);
    const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != '\0') {
        size_t length = utf8_sequence_length(at);
        char escaped[8];
        if (short_escape(*at) != 0) {
            escaped[0] = '\\';
            escaped[1] = short_escape(*at);
            put_text(&pieces, escaped, 2);
            length = 1;
        } else if (length == 0 || *at < 0x20 || *at == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*at));
            put_text(&pieces, escaped, 6);
            length = 1;
        } else {
            put_text(&pieces, reinterpret_cast<const char*>(at), length);
        }
        at += length;
    }
    put_text(&pieces, "\"", 1);
    pieces.text[pieces.used] = '\0';
    write(context, pieces.text);
}

void json_start(JsonText* json, TextWriter write, void* context) {
    std::memset(json, 0, sizeof *json);
    json->write = write;
    json->context = context;
}

void json_begin_object(JsonText* json, const char* key) {
    open_level(json, key, "{");
}

void json_end_object(JsonText* json) {
    close_level(json, "}");
}

void json_begin_array(JsonText* json, const char* key) {
    open_level(json, key, "[");
}

void json_end_array(JsonText* json) {
    close_level(json, "]");
}

void json_string(JsonText* json, const char* key, const char* value) {
    begin_item(json, key);
    escape_json_string(value, json->write, json->context);
}

void json_uint(JsonText* json, const char* key, uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    put_value(json, key, text);
}

void json_int(JsonText* json, const char* key, int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64, value);
    put_value(json, key, text);
}

void json_decimal(JsonText* json, const char* key, double value) {
    char text[64];
    if (std::isfinite(value)) {
        std::snprintf(text, sizeof text, "%.6f", value);
    } else {
        std::snprintf(text, sizeof text, "null");
    }
    put_value(json, key, text);
}

void json_bool(JsonText* json, const char* key, bool value) {
    put_value(json, key, value ? "true" : "false");
}

void json_null(JsonText* json, const char* key) {
    put_value(json, key, "null");
}

void json_string_or_null(JsonText* json, const char* key, const char* value) {
    if (value == nullptr || value[0] == '\0') {
        json_null(json, key);
    } else {
        json_string(json, key, value);
    }
}

void json_uint_or_null(JsonText* json, const char* key, bool known, uint64_t value) {
    if (known) {
        json_uint(json, key, value);
    } else {
        json_null(json, key);
    }
}
