#include "wide_arguments.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr WCHAR replacement_character = 0xFFFD;

// Decodes one sequence at text into *code_point and returns the number of
// bytes it takes. An invalid sequence gives U+FFFD and takes its lead byte
// with the continuation bytes that follow it, so each bad sequence becomes
// a single replacement character; nothing is read past a terminating zero.
size_t decode_one(const unsigned char* text, WCHAR* code_point) {
    unsigned char lead = text[0];
    size_t length = 0;
    uint32_t value = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        *code_point = replacement_character;
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0u) != 0x80u) {
            *code_point = replacement_character;
            return i;
        }
        value = (value << 6) | (text[i] & 0x3Fu);
    }
    bool valid = value >= minimum && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
    *code_point = valid ? static_cast<WCHAR>(value) : replacement_character;
    return length;
}

} // namespace

size_t utf8_to_wide(const char* text, WCHAR* wide, size_t capacity) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t count = 0;
    while (*bytes != 0 && count + 1 < capacity) {
        bytes += decode_one(bytes, &wide[count]);
        ++count;
    }
    wide[count] = 0;
    return count;
}

WCHAR** build_wide_arguments(int argc, char** argv) {
    if (argc < 0) {
        return nullptr;
    }
    // One block: the pointer array (with a closing null) followed by the
    // strings. A string never has more characters than bytes.
    size_t count = static_cast<size_t>(argc);
    size_t characters = 0;
    for (size_t i = 0; i < count; ++i) {
        characters += strlen(argv[i]) + 1;
    }
    size_t pointer_bytes = (count + 1) * sizeof(WCHAR*);
    void* block = malloc(pointer_bytes + characters * sizeof(WCHAR));
    if (block == nullptr) {
        return nullptr;
    }
    WCHAR** vector = static_cast<WCHAR**>(block);
    WCHAR* next = reinterpret_cast<WCHAR*>(static_cast<char*>(block) + pointer_bytes);
    for (size_t i = 0; i < count; ++i) {
        vector[i] = next;
        next += utf8_to_wide(argv[i], next, strlen(argv[i]) + 1) + 1;
    }
    vector[count] = nullptr;
    return vector;
}
