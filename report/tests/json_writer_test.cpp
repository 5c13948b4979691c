// JSON as the reports write it: strings escaped into valid JSON whatever
// bytes they hold, members and items separated; and read back by the
// tests' own reader, which refuses anything that is not strict JSON.
#include "json_reader.h"
#include "json_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void append_text(void* text, const char* piece) {
    static_cast<std::string*>(text)->append(piece);
}

std::string escaped(const std::string& text) {
    std::string json;
    escape_json_string(text.c_str(), append_text, &json);
    return json;
}

TEST(JsonString, EscapesWhatJsonForbidsAndEveryByteOfInvalidUtf8) {
    struct Case {
        const char* name;
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"plain", "sprayl-00001.bin", "\"sprayl-00001.bin\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"short escapes", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {"other control bytes and DEL", "\x01\x1b\x1f\x7f", "\"\\u0001\\u001b\\u001f\\u007f\""},
        {"two, three and four byte UTF-8", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"the highest code point", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
        {"a Latin-1 byte", "caf\xe9.bin", "\"caf\\u00e9.bin\""},
        {"a lone continuation byte", "\x80x", "\"\\u0080x\""},
        {"an overlong slash", "\xc0\xaf", "\"\\u00c0\\u00af\""},
        {"an overlong three byte form", "\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},
        {"a surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
        {"a sequence cut short by the end", "\xe2\x82", "\"\\u00e2\\u0082\""},
        {"a sequence cut short by ASCII",
         "\xe2"
         "a",
         "\"\\u00e2a\""},
        {"longer than the gathering buffer", std::string(600, '"'),
         "\"" +
             [] {
                 std::string s;
                 for (int i = 0; i < 600; ++i) {
                     s += "\\\"";
                 }
                 return s;
             }() +
             "\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escaped(c.text), c.json) << c.name;
    }
}

TEST(JsonText, MembersItemsAndNestingAreSeparated) {
    std::string text;
    JsonText json;
    json_start(&json, append_text, &text);
    json_begin_object(&json, nullptr);
    json_uint(&json, "n", 18446744073709551615u);
    json_int(&json, "shift", -999);
    json_begin_array(&json, "empty");
    json_end_array(&json);
    json_begin_array(&json, "items");
    json_bool(&json, nullptr, true);
    json_null(&json, nullptr);
    json_decimal(&json, nullptr, 0.5);
    json_decimal(&json, nullptr, 1.0 / 0.0);
    json_string_or_null(&json, nullptr, "");
    json_string_or_null(&json, nullptr, nullptr);
    json_string_or_null(&json, nullptr, "x");
    json_uint_or_null(&json, nullptr, false, 7);
    json_uint_or_null(&json, nullptr, true, 0);
    json_end_array(&json);
    json_end_object(&json);
    EXPECT_EQ(text, "{\n  \"n\": 18446744073709551615,\n  \"shift\": -999,\n  \"empty\": [],\n"
                    "  \"items\": [\n    true,\n    null,\n    0.500000,\n    null,\n    null,\n"
                    "    null,\n    \"x\",\n    null,\n    0\n  ]\n}\n");
}

// What the writer writes, the reader gives back: every kind of value,
// nesting, and a string of any bytes (invalid UTF-8 read back as the
// Latin-1 characters of its bytes).
TEST(JsonReader, ReadsBackWhatTheWriterWrote) {
    std::string text;
    JsonText json;
    json_start(&json, append_text, &text);
    json_begin_object(&json, nullptr);
    json_string(&json, "name", "q\"b\\s\x1b\n\xe9\xe2\x82\xac.bin");
    json_uint(&json, "n", 18446744073709551615u);
    json_int(&json, "shift", -999);
    json_begin_array(&json, "items");
    json_bool(&json, nullptr, false);
    json_null(&json, nullptr);
    json_begin_object(&json, nullptr);
    json_decimal(&json, "seconds", 0.25);
    json_end_object(&json);
    json_end_array(&json);
    json_end_object(&json);
    JsonValue document;
    std::string error;
    ASSERT_TRUE(parse_json(text, &document, &error)) << error << "\n" << text;
    EXPECT_EQ(json_text_at(document, "name"), "q\"b\\s\x1b\n\xc3\xa9\xe2\x82\xac.bin");
    EXPECT_EQ(json_number(json_at(document, "n")), 18446744073709551615u);
    EXPECT_EQ(json_text_at(document, "shift"), "-999");
    EXPECT_EQ(json_text_at(document, "items.0"), "false");
    EXPECT_EQ(json_text_at(document, "items.1"), "null");
    EXPECT_EQ(json_text_at(document, "items.2.seconds"), "0.250000");
    EXPECT_EQ(json_text_at(document, "items.3"), "(none)");
    EXPECT_EQ(json_text_at(document, "items"), "(array)");
    EXPECT_EQ(json_text_at(document, "nothing.here"), "(none)");
}

TEST(JsonReader, RefusesWhatIsNotStrictJson) {
    const char* const texts[] = {
        "",      "{",           "{\"a\": 1,}", "[1 2]",    "{\"a\" 1}", "NaN",         "[Infinity]",
        "01",    "1.",          "\"\\x\"",     "\"\x01\"", "\"\xe9\"",  "\"\\ud800\"", "{} {}",
        "[tru]", "\"cut short",
    };
    for (const char* text : texts) {
        JsonValue document;
        std::string error;
        EXPECT_FALSE(parse_json(text, &document, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

} // namespace
