#include "backup.h"

#include <cstdio>
#include <cstring>

namespace {

const unsigned char header_magic[8] = {'S', 'P', 'R', 'A', 'Y', 'L', 'P', 'B'};
const unsigned char record_magic[4] = {'S', 'R', 'E', 'C'};
const unsigned char closing_magic[4] = {'S', 'E', 'N', 'D'};
constexpr uint32_t backup_version = 2;
constexpr size_t header_fixed_bytes = 8 + 4 + 4 + 8 + 16 + 4;
constexpr uint32_t largest_identity = 4096;
static_assert(header_fixed_bytes + largest_identity + 8 <= backup_header_limit,
              "a header fits in the bytes read for it");
constexpr size_t flushed_bytes = 8 + 8;
constexpr size_t record_head_bytes = 4 + 4 + 4 + 8 + 8 + 8;
constexpr size_t closing_bytes = 4 + 4 + 8 + 8;
constexpr size_t old_record_head_bytes = 4 + 4 + 8 + 8;

// FNV-1a, 64 bits.
constexpr uint64_t checksum_start = 14695981039346656037ull;

uint64_t checksum_bytes(uint64_t sum, const unsigned char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        sum = (sum ^ bytes[i]) * 1099511628211ull;
    }
    return sum;
}

uint64_t checksum_of(uint64_t sum, const std::vector<unsigned char>& bytes) {
    return checksum_bytes(sum, bytes.data(), bytes.size());
}

void put_u32(std::vector<unsigned char>* out, uint32_t value) {
    for (int k = 0; k < 4; ++k) {
        out->push_back(static_cast<unsigned char>(value >> (8 * k)));
    }
}

void put_u64(std::vector<unsigned char>* out, uint64_t value) {
    for (int k = 0; k < 8; ++k) {
        out->push_back(static_cast<unsigned char>(value >> (8 * k)));
    }
}

uint32_t get_u32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t get_u64(const unsigned char* bytes) {
    return get_u32(bytes) | static_cast<uint64_t>(get_u32(bytes + 4)) << 32;
}

// ---- The pieces of a backup, as bytes. ----

// The record's head up to its head checksum: magic, number, length, offset.
std::vector<unsigned char> record_fields(uint32_t number, uint32_t length, uint64_t offset) {
    std::vector<unsigned char> out(record_magic, record_magic + 4);
    put_u32(&out, number);
    put_u32(&out, length);
    put_u64(&out, offset);
    return out;
}

std::vector<unsigned char> flushed_field(uint64_t seed, uint64_t length) {
    std::vector<unsigned char> out;
    put_u64(&out, length);
    put_u64(&out, checksum_of(seed, out));
    return out;
}

std::vector<unsigned char> closing_fields(uint32_t records, uint64_t trusted_limit) {
    std::vector<unsigned char> out(closing_magic, closing_magic + 4);
    put_u32(&out, records);
    put_u64(&out, trusted_limit);
    return out;
}

bool journal_write(BackupJournal* journal, uint64_t offset, const unsigned char* bytes,
                   size_t size) {
    if (journal->failure != nullptr) {
        return false;
    }
    if (!journal->sink->write(journal->sink->context, offset, bytes, size)) {
        journal->failure = "a write";
        return false;
    }
    return true;
}

bool journal_append(BackupJournal* journal, const std::vector<unsigned char>& bytes) {
    if (!journal_write(journal, journal->end, bytes.data(), bytes.size())) {
        return false;
    }
    journal->end += bytes.size();
    return true;
}

// ---- Reading. ----

// What lies at one place of a backup.
enum ItemKind {
    item_record,
    item_closing,
    item_cut,     // too few bytes left for what its head says
    item_invalid, // no record or closing record starts here
};

struct Item {
    ItemKind kind;
    uint32_t number; // a record's; a closing record's count
    uint32_t length;
    uint64_t offset; // a record's; a closing record's trusted limit
    bool data_whole;
    size_t bytes; // the whole item
};

Item version_2_item(const unsigned char* bytes, size_t size, size_t at, uint64_t seed) {
    const unsigned char* head = bytes + at;
    size_t left = size - at;
    if (left >= 4 && std::memcmp(head, closing_magic, 4) == 0) {
        if (left < closing_bytes) {
            return {item_cut, 0, 0, 0, false, 0};
        }
        std::vector<unsigned char> fields = closing_fields(get_u32(head + 4), get_u64(head + 8));
        if (get_u64(head + 16) != checksum_of(seed, fields)) {
            return {item_invalid, 0, 0, 0, false, 0};
        }
        return {item_closing, get_u32(head + 4), 0, get_u64(head + 8), true, closing_bytes};
    }
    if (left < 4 || std::memcmp(head, record_magic, 4) != 0) {
        return {left < 4 ? item_cut : item_invalid, 0, 0, 0, false, 0};
    }
    if (left < record_head_bytes) {
        return {item_cut, 0, 0, 0, false, 0};
    }
    Item item = {item_record, get_u32(head + 4), get_u32(head + 8), get_u64(head + 12), false, 0};
    uint64_t head_sum = checksum_of(seed, record_fields(item.number, item.length, item.offset));
    if (get_u64(head + 20) != head_sum) {
        return {item_invalid, 0, 0, 0, false, 0};
    }
    if (left - record_head_bytes < item.length) {
        return {item_cut, 0, 0, 0, false, 0};
    }
    item.data_whole =
        get_u64(head + 28) == checksum_bytes(head_sum, head + record_head_bytes, item.length);
    item.bytes = record_head_bytes + item.length;
    return item;
}

// Version 1: one checksum over offset, length and data; no numbers.
Item version_1_item(const unsigned char* bytes, size_t size, size_t at, uint32_t number) {
    const unsigned char* head = bytes + at;
    size_t left = size - at;
    if (left < old_record_head_bytes) {
        return {item_cut, 0, 0, 0, false, 0};
    }
    if (std::memcmp(head, record_magic, 4) != 0) {
        return {item_invalid, 0, 0, 0, false, 0};
    }
    uint32_t length = get_u32(head + 4);
    uint64_t offset = get_u64(head + 8);
    if (left - old_record_head_bytes < length) {
        return {item_cut, 0, 0, 0, false, 0};
    }
    std::vector<unsigned char> fields;
    put_u64(&fields, offset);
    put_u32(&fields, length);
    uint64_t sum =
        checksum_bytes(checksum_of(checksum_start, fields), head + old_record_head_bytes, length);
    if (get_u64(head + 16) != sum) {
        return {item_invalid, 0, 0, 0, false, 0};
    }
    return {item_record, number, length, offset, true, old_record_head_bytes + length};
}

struct Reader {
    const unsigned char* bytes;
    size_t size;
    uint64_t seed;
    uint32_t version;
    uint32_t next_number; // the number the next record should have
    BackupContents* contents;
};

Item item_at(const Reader* reader, size_t at) {
    return reader->version == 1
               ? version_1_item(reader->bytes, reader->size, at, reader->next_number)
               : version_2_item(reader->bytes, reader->size, at, reader->seed);
}

// The next place after at where a record or a closing record starts whole,
// or size.
size_t next_item(const Reader* reader, size_t at) {
    for (size_t next = at + 1; next < reader->size; ++next) {
        ItemKind kind = item_at(reader, next).kind;
        if (kind == item_record || kind == item_closing) {
            return next;
        }
    }
    return reader->size;
}

// Notes the stretch [from, to) of the backup as unreadable, and the records
// from next_number up to number (0: not known) as missing.
void note_unreadable(Reader* reader, size_t from, size_t to, uint32_t number) {
    if (from == to && number <= reader->next_number) {
        return;
    }
    uint32_t missing = number > reader->next_number ? number - reader->next_number : 0;
    reader->contents->unreadable.push_back({from, to - from, reader->next_number, missing});
    reader->next_number += missing;
}

void keep_record(Reader* reader, const Item* item, const unsigned char* data) {
    BackupContents* contents = reader->contents;
    size_t at = static_cast<size_t>(data - reader->bytes) - (item->bytes - item->length);
    // Numbers skipped with no bytes between: records lost as a whole.
    note_unreadable(reader, at, at, item->number);
    reader->next_number = item->number + 1;
    if (!item->data_whole || item->length % contents->header.sector_size != 0) {
        contents->damaged.push_back({item->number, item->offset, item->length});
        return;
    }
    SavedData* saved = &contents->saved;
    saved->ranges.push_back({item->offset, item->length, saved->bytes.size()});
    saved->bytes.insert(saved->bytes.end(), data, data + item->length);
}

// Reads the records from at; up to flushed (the length the backup had
// flushed) anything unreadable is damage, past it a write that never
// finished. Returns where the records end; *closed when a closing record
// ended them.
size_t read_records(Reader* reader, size_t at, uint64_t flushed, bool* closed) {
    *closed = false;
    while (at < reader->size) {
        Item item = item_at(reader, at);
        if (at >= flushed && item.kind == item_record && !item.data_whole) {
            return at; // never flushed: its sectors were never written
        }
        if (item.kind == item_record && item.number >= reader->next_number) {
            keep_record(reader, &item, reader->bytes + at + (item.bytes - item.length));
            at += item.bytes;
            continue;
        }
        if (item.kind == item_closing) {
            note_unreadable(reader, at, at, item.number);
            reader->contents->trusted_limit = item.offset;
            *closed = true;
            return at + item.bytes;
        }
        if (at >= flushed || item.kind == item_cut) {
            return at;
        }
        size_t next = next_item(reader, at);
        Item found =
            next < reader->size ? item_at(reader, next) : Item{item_cut, 0, 0, 0, false, 0};
        note_unreadable(reader, at, next, found.kind == item_cut ? 0 : found.number);
        at = next;
    }
    return at;
}

// The probe writes nothing to the drive before its backup's header and
// flushed field are flushed.
const char* const cut_in_header =
    "the backup is cut short inside its header: a probe stopped this early had written nothing"
    " to the drive";

bool refuse(char* message, size_t capacity, const char* text) {
    std::snprintf(message, capacity, "%s", text);
    return false;
}

// The header; false with message when it is not a whole one.
bool parse_header(const unsigned char* bytes, size_t size, BackupHeader* header, size_t* end,
                  uint64_t* seed, char* message, size_t capacity) {
    size_t magic = size < sizeof header_magic ? size : sizeof header_magic;
    if (std::memcmp(bytes, header_magic, magic) != 0) {
        return refuse(message, capacity, "not a probe backup");
    }
    if (size < header_fixed_bytes) {
        return refuse(message, capacity, cut_in_header);
    }
    header->version = get_u32(bytes + 8);
    if (header->version != 1 && header->version != backup_version) {
        std::snprintf(message, capacity, "a probe backup of version %u, not %u", header->version,
                      backup_version);
        return false;
    }
    uint32_t identity_length = get_u32(bytes + header_fixed_bytes - 4);
    *end = header_fixed_bytes + identity_length + 8;
    if (identity_length > largest_identity) {
        return refuse(message, capacity, "the backup's header is damaged");
    }
    if (size < *end) {
        return refuse(message, capacity, cut_in_header);
    }
    *seed = checksum_bytes(checksum_start, bytes, *end - 8);
    if (get_u64(bytes + *end - 8) != *seed) {
        return refuse(message, capacity, "the backup's header is damaged");
    }
    header->sector_size = get_u32(bytes + 12);
    header->device_size = get_u64(bytes + 16);
    for (int k = 0; k < 4; ++k) {
        header->run.word[k] = get_u32(bytes + 24 + 4 * k);
    }
    header->run.counter = 4 * weyl_increment;
    header->identity.assign(reinterpret_cast<const char*>(bytes) + header_fixed_bytes,
                            identity_length);
    if (header->sector_size == 0) {
        return refuse(message, capacity, "the backup's header is damaged");
    }
    return true;
}

} // namespace

bool backup_start(BackupJournal* journal, const BackupSink* sink, const BackupHeader* header) {
    *journal = {sink, 0, 0, 0, 0, nullptr};
    std::vector<unsigned char> out(header_magic, header_magic + sizeof header_magic);
    put_u32(&out, backup_version);
    put_u32(&out, header->sector_size);
    put_u64(&out, header->device_size);
    for (uint32_t word : header->run.word) {
        put_u32(&out, word);
    }
    put_u32(&out, static_cast<uint32_t>(header->identity.size()));
    out.insert(out.end(), header->identity.begin(), header->identity.end());
    journal->seed = checksum_of(checksum_start, out);
    put_u64(&out, journal->seed);
    journal->flushed_at = out.size();
    std::vector<unsigned char> flushed = flushed_field(journal->seed, out.size() + flushed_bytes);
    out.insert(out.end(), flushed.begin(), flushed.end());
    return journal_append(journal, out);
}

bool backup_append(BackupJournal* journal, uint64_t offset, uint32_t length,
                   const unsigned char* data) {
    std::vector<unsigned char> head = record_fields(journal->records, length, offset);
    uint64_t head_sum = checksum_of(journal->seed, head);
    put_u64(&head, head_sum);
    put_u64(&head, checksum_bytes(head_sum, data, length));
    if (!journal_append(journal, head) || !journal_write(journal, journal->end, data, length)) {
        return false;
    }
    journal->end += length;
    journal->records += 1;
    return true;
}

bool backup_commit(BackupJournal* journal) {
    std::vector<unsigned char> flushed = flushed_field(journal->seed, journal->end);
    if (!journal_write(journal, journal->flushed_at, flushed.data(), flushed.size())) {
        return false;
    }
    if (!journal->sink->flush(journal->sink->context)) {
        journal->failure = "a flush";
        return false;
    }
    return true;
}

bool backup_close(BackupJournal* journal, uint64_t trusted_limit) {
    std::vector<unsigned char> closing = closing_fields(journal->records, trusted_limit);
    put_u64(&closing, checksum_of(journal->seed, closing));
    return journal_append(journal, closing) && backup_commit(journal);
}

bool parse_backup(const unsigned char* bytes, size_t size, BackupContents* contents, char* message,
                  size_t capacity) {
    *contents = {};
    size_t at = 0;
    uint64_t seed = 0;
    if (!parse_header(bytes, size, &contents->header, &at, &seed, message, capacity)) {
        return false;
    }
    contents->trusted_limit = contents->header.device_size;
    Reader reader = {bytes, size, seed, contents->header.version, 0, contents};
    uint64_t flushed = 0;
    bool flushed_known = false;
    if (contents->header.version != 1) {
        if (size - at < flushed_bytes) {
            return refuse(message, capacity, cut_in_header);
        }
        flushed = get_u64(bytes + at);
        flushed_known = flushed_field(seed, flushed) ==
                        std::vector<unsigned char>(bytes + at, bytes + at + flushed_bytes);
        at += flushed_bytes;
    }
    bool closed = false;
    size_t end = read_records(&reader, at, flushed_known ? flushed : size, &closed);
    contents->records = reader.next_number;
    if (flushed_known && end < flushed && !closed) {
        // Records after the last whole one were flushed, then cut away.
        contents->unreadable.push_back({end, flushed - end, reader.next_number, 0});
    }
    contents->wholeness = closed                            ? backup_closed
                          : !flushed_known                  ? backup_unproven
                          : size < flushed || end < flushed ? backup_cut_short
                                                            : backup_open;
    return true;
}

bool backup_is_whole(const BackupContents* contents) {
    return (contents->wholeness == backup_closed || contents->wholeness == backup_open) &&
           contents->damaged.empty() && contents->unreadable.empty();
}

bool parse_backup_header(const unsigned char* bytes, size_t size, BackupHeader* header,
                         char* message, size_t capacity) {
    size_t end = 0;
    uint64_t seed = 0;
    return parse_header(bytes, size, header, &end, &seed, message, capacity);
}

bool backup_names_drive(const BackupHeader* header, const ProbeDevice* device,
                        const char* identity) {
    return header->device_size == device->size && header->sector_size == device->sector_size &&
           header->identity == identity;
}
