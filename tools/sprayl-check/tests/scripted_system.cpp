#include "scripted_system.h"

#include "check_input.h"
#include "fill_record.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

volatile std::sig_atomic_t stop_requested = 0;

const char path_separator = '/';
const char* const system_help_option = nullptr;
const char* const around_cache_text = "scripted";

ScriptedSystem scripted;

namespace {

// Files and directories opened, by handle: their paths, and where the
// next write goes.
std::vector<std::string> open_paths;
std::vector<uint64_t> write_places;
std::vector<bool> around_cache; // whether the handle's writes go around the cache

intptr_t handle_for(const std::string& path) {
    open_paths.push_back(path);
    write_places.push_back(0);
    around_cache.push_back(false);
    return static_cast<intptr_t>(open_paths.size());
}

const std::string& path_of(intptr_t handle) {
    return open_paths[static_cast<size_t>(handle - 1)];
}

std::string path_in(const OpenDirectory* directory, const char* name) {
    return std::string(directory->path) + "/" + name;
}

// Whether path is a fill file's, whose writes and flushes the scripts
// count and fail.
// The fill's record, or the new one that replaces it.
bool is_fill_record(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return name == fill_record_name || name == fill_record_new_name;
}

// Whether the directory has gone: the write calls have reached the one
// where the test takes it away.
bool gone() {
    return scripted.gone_at_write != 0 && scripted.writes >= scripted.gone_at_write;
}

bool in_directory(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() + 1 &&
           path.compare(0, directory.size(), directory) == 0 && path[directory.size()] == '/' &&
           path.find('/', directory.size() + 1) == std::string::npos;
}

// path with "." and "dir/.." taken out: the file it names.
std::string normal_path(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, end - at);
        if (part == ".." && !parts.empty() && parts.back() != "..") {
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string joined = path.compare(0, 1, "/") == 0 ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        joined += (i > 0 ? "/" : "") + parts[i];
    }
    return joined.empty() ? "." : joined;
}

} // namespace

void reset_scripted_system(uint64_t free_bytes) {
    scripted = ScriptedSystem{};
    scripted.free_bytes = free_bytes;
    scripted.free_files = no_file_limit;
    scripted.file_method = read_around_cache;
    scripted.takes_writes_around_cache = true;
    open_paths.clear();
    write_places.clear();
    around_cache.clear();
    stop_requested = 0;
}

bool error_is_interruption(int error) {
    return error == EINTR;
}

bool error_is_misalignment(int error) {
    return error == EINVAL;
}

bool error_is_full(int error) {
    return error == ENOSPC;
}

bool error_is_not_found(int error) {
    return error == ENOENT;
}

bool error_is_existing(int error) {
    return error == EEXIST;
}

bool error_is_drive_failure(int error) {
    return error == EIO;
}

bool error_is_write_protected(int error) {
    return error == EROFS;
}

bool error_is_gone(int error) {
    return error == ENOTCONN;
}

bool error_is_elsewhere(int error) {
    return error == EXDEV;
}

void error_text(int error, char* text, size_t capacity) {
    std::snprintf(text, capacity, "%s", std::strerror(error));
}

bool path_status(const char* path, PathStatus* status, int*) {
    auto file = scripted.files.find(path);
    if (file != scripted.files.end()) {
        *status = {false, file->second.size()};
        return true;
    }
    *status = {true, 0};
    return true; // any other path is a directory, maybe an empty one
}

// Standard input is a pipe; a file of the table is a regular file, any
// other path a directory.
bool file_identity(const char* path, FileIdentity* identity, int*) {
    std::string name = normal_path(path);
    auto file = scripted.files.find(name);
    *identity = FileIdentity{};
    identity->kind = std::strcmp(path, "-") == 0    ? file_kind_stream
                     : file != scripted.files.end() ? file_kind_regular
                                                    : file_kind_directory;
    identity->known = true;
    identity->volume = 1;
    identity->index = std::hash<std::string>()(identity->kind == file_kind_stream ? "-" : name);
    identity->size = file != scripted.files.end() ? file->second.size() : 0;
    return true;
}

void parent_directory(const char* path, char* parent, size_t capacity) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    size_t cut = name.rfind('/');
    std::string found = cut == std::string::npos ? "." : cut == 0 ? "/" : name.substr(0, cut);
    std::snprintf(parent, capacity, "%s", found.c_str());
}

bool list_directory(const char* directory, void (*each)(const char* name, void* context),
                    void* context, int*) {
    for (const auto& file : scripted.files) {
        if (in_directory(file.first, directory)) {
            each(file.first.c_str() + std::strlen(directory) + 1, context);
        }
    }
    return true;
}

int open_input(const char* path, OpenInput* input) {
    input->path = path;
    if (gone()) {
        return scripted.gone_error;
    }
    if (scripted.files.count(path) == 0) {
        return ENOENT;
    }
    if (scripted.unopenable == path) {
        return scripted.open_error;
    }
    input->handle = handle_for(path);
    input->method = read_around_cache;
    input->around_cache = true;
    input->seekable = true;
    input->size = scripted.files[path].size();
    return 0;
}

void reach_the_drive(OpenInput* input, char* why, size_t capacity) {
    input->method = scripted.file_method;
    switch (input->method) {
    case read_device_cached:
    case read_fuse_unbacked:
    case read_network:
    case read_through_cache:
        std::snprintf(why, capacity, "scripted: %s may be read from memory", input->path);
        break;
    default:
        break;
    }
}

int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error) {
    if (gone()) {
        *error = scripted.gone_error;
        return -1;
    }
    const std::vector<unsigned char>& bytes = scripted.files[path_of(input->handle)];
    if (offset >= bytes.size()) {
        return 0;
    }
    size_t got = static_cast<size_t>(std::min<uint64_t>(size, bytes.size() - offset));
    std::memcpy(buffer, bytes.data() + offset, got);
    return static_cast<int64_t>(got);
}

int reopen_through_cache(OpenInput* input) {
    input->around_cache = false;
    return 0;
}

void close_input(OpenInput* input) {
    input->handle = 0;
}

unsigned char* aligned_buffer(size_t size) {
    return static_cast<unsigned char*>(std::aligned_alloc(4096, size));
}

void free_aligned_buffer(unsigned char* buffer) {
    std::free(buffer);
}

// No reads kept in flight: the scripted reads go through read_input.
bool start_read_queue(ReadQueue* queue, unsigned) {
    *queue = {0, nullptr, nullptr};
    return false;
}

void end_read_queue(ReadQueue* queue) {
    *queue = {0, nullptr, nullptr};
}

// One after another, in this thread: a run that does not depend on how
// threads take turns.
unsigned run_side_by_side(unsigned count, void (*work)(void* context, unsigned index),
                          void* context) {
    for (unsigned i = 0; i < count; ++i) {
        work(context, i);
    }
    return count;
}

intptr_t create_file(const char* path, int* error) {
    if (scripted.create_error != 0) {
        *error = scripted.create_error;
        return 0;
    }
    scripted.files[path].clear();
    return handle_for(path);
}

intptr_t create_new_file(const char* path, int* error) {
    if (scripted.files.count(path) > 0) {
        *error = EEXIST;
        return 0;
    }
    return create_file(path, error);
}

bool write_around_cache(intptr_t file, bool on) {
    around_cache[static_cast<size_t>(file - 1)] = on && scripted.takes_writes_around_cache;
    return around_cache[static_cast<size_t>(file - 1)];
}

int64_t write_file(intptr_t file, const unsigned char* data, size_t size, int* error) {
    if (around_cache[static_cast<size_t>(file - 1)]) {
        if (reinterpret_cast<uintptr_t>(data) % 4096 != 0 || size % 4096 != 0) {
            *error = EINVAL;
            return -1;
        }
        if (size > scripted.free_bytes) {
            *error = ENOSPC;
            return -1;
        }
        ++scripted.writes_around_cache;
    }
    // The scripted failures, stops and counts are of the data written: the
    // fill files and the reports, not the fill's record beside them.
    bool counted = !is_fill_record(path_of(file));
    scripted.writes += counted ? 1 : 0;
    if (counted && scripted.stop_at_write != 0 && scripted.writes >= scripted.stop_at_write) {
        stop_requested = 1;
    }
    if (gone()) {
        *error = scripted.gone_error;
        return -1;
    }
    bool failing = counted && scripted.write_error != 0;
    if ((failing && scripted.written >= scripted.write_error_at) || scripted.turned_read_only) {
        scripted.turned_read_only = scripted.read_only_after_error;
        *error = scripted.write_error;
        return -1;
    }
    std::vector<unsigned char>& bytes = scripted.files[path_of(file)];
    uint64_t& place = write_places[static_cast<size_t>(file - 1)];
    // Bytes over the file's own take no room.
    uint64_t over = place < bytes.size() ? std::min<uint64_t>(size, bytes.size() - place) : 0;
    if (scripted.free_bytes == 0 && over == 0) {
        *error = ENOSPC;
        return -1;
    }
    size_t taken = static_cast<size_t>(std::min<uint64_t>(size, over + scripted.free_bytes));
    if (failing) {
        taken = static_cast<size_t>(
            std::min<uint64_t>(taken, scripted.write_error_at - scripted.written));
    }
    if (place + taken > bytes.size()) {
        scripted.free_bytes -= place + taken - bytes.size();
        bytes.resize(static_cast<size_t>(place + taken));
    }
    std::memcpy(bytes.data() + place, data, taken);
    place += taken;
    scripted.written += counted ? taken : 0;
    return static_cast<int64_t>(taken);
}

int flush_and_close(intptr_t file) {
    if (gone()) {
        return scripted.gone_error;
    }
    if (is_fill_record(path_of(file))) {
        return scripted.turned_read_only ? scripted.write_error : 0;
    }
    scripted.turned_read_only |= scripted.flush_error != 0 && scripted.read_only_after_error;
    return scripted.flush_error;
}

int close_file(intptr_t) {
    return 0;
}

int remove_file(const char* path) {
    auto file = scripted.files.find(path);
    if (file != scripted.files.end()) {
        scripted.free_bytes += file->second.size();
        if (scripted.free_files != no_file_limit) {
            ++scripted.free_files;
        }
        scripted.files.erase(file);
    }
    return 0;
}

int rename_file(const char* from, const char* to) {
    auto file = scripted.files.find(from);
    if (file == scripted.files.end()) {
        return ENOENT;
    }
    std::vector<unsigned char> bytes = std::move(file->second);
    scripted.files.erase(file);
    scripted.files[to] = std::move(bytes);
    return 0;
}

uint64_t free_space(const char*) {
    return scripted.free_bytes;
}

bool stdin_is_terminal() {
    return false;
}

bool stderr_is_terminal() {
    return false;
}

int terminal_width() {
    return 0;
}

void catch_stop_requests() {}

double clock_seconds() {
    static double now;
    return now += 0.001;
}

uint64_t free_files(const char*) {
    return scripted.free_files;
}

// The scripted drive says nothing of what it is.
void directory_drive_identity(const char*, DriveIdentity* identity) {
    *identity = {};
}

int open_directory(const char* path, OpenDirectory* directory) {
    *directory = {handle_for(path), 1, 2, path};
    return 0;
}

void close_directory(OpenDirectory* directory) {
    directory->handle = 0;
}

bool list_open_directory(const OpenDirectory* directory,
                         void (*each)(const char* name, void* context), void* context, int* error) {
    if (gone()) {
        *error = scripted.gone_error;
        return false;
    }
    return list_directory(directory->path, each, context, error);
}

bool status_in(const OpenDirectory* directory, const char* name, PathStatus* status, int* error) {
    auto file = scripted.files.find(path_in(directory, name));
    if (file == scripted.files.end()) {
        *error = ENOENT;
        return false;
    }
    *status = {false, file->second.size()};
    return true;
}

int open_input_in(const OpenDirectory* directory, const char* name, OpenInput* input) {
    const char* shown = input->path;
    static std::string path;
    path = path_in(directory, name);
    int error = open_input(path.c_str(), input);
    input->path = shown;
    if (input->handle != 0) {
        open_paths[static_cast<size_t>(input->handle - 1)] = path;
    }
    return error;
}

intptr_t create_file_in(const OpenDirectory* directory, const char* name, int* error) {
    if (!scripted.appears.empty()) {
        scripted.files[scripted.appears] = scripted.appearing_bytes;
        scripted.appears.clear();
    }
    std::string path = path_in(directory, name);
    *error = gone()                            ? scripted.gone_error
             : scripted.create_error != 0      ? scripted.create_error
             : scripted.files.count(path) != 0 ? EEXIST
             : scripted.free_files == 0        ? ENOSPC
             : scripted.lands_elsewhere        ? EXDEV
                                               : 0;
    if (*error != 0) {
        return 0;
    }
    if (scripted.free_files != no_file_limit) {
        --scripted.free_files;
    }
    scripted.files[path].clear();
    return handle_for(path);
}

intptr_t open_for_writing_in(const OpenDirectory* directory, const char* name, int* error) {
    std::string path = path_in(directory, name);
    if (gone() || scripted.files.count(path) == 0) {
        *error = gone() ? scripted.gone_error : ENOENT;
        return 0;
    }
    return handle_for(path);
}

int cut_file(intptr_t file, uint64_t size) {
    std::vector<unsigned char>& bytes = scripted.files[path_of(file)];
    if (size > bytes.size()) {
        return EINVAL;
    }
    scripted.free_bytes += bytes.size() - size;
    bytes.resize(static_cast<size_t>(size));
    return 0;
}

int remove_file_in(const OpenDirectory* directory, const char* name) {
    return gone() ? scripted.gone_error : remove_file(path_in(directory, name).c_str());
}

int truncate_file_in(const OpenDirectory* directory, const char* name, uint64_t size) {
    int error = 0;
    intptr_t file = open_for_writing_in(directory, name, &error);
    return file == 0 ? error : cut_file(file, size);
}

int replace_file_in(const OpenDirectory* directory, const char* from, const char* to) {
    auto file = scripted.files.find(path_in(directory, from));
    if (gone() || file == scripted.files.end()) {
        return gone() ? scripted.gone_error : ENOENT;
    }
    std::vector<unsigned char> bytes = file->second;
    scripted.files.erase(file);
    remove_file(path_in(directory, to).c_str());
    scripted.files[path_in(directory, to)] = bytes;
    return 0;
}

DirectoryState directory_state(const OpenDirectory*, int* error) {
    if (gone()) {
        *error = scripted.gone_error;
        return scripted.gone_state;
    }
    return directory_in_place;
}

uint64_t drive_size(const char*) {
    uint64_t used = 0;
    for (const auto& file : scripted.files) {
        used += file.second.size();
    }
    return used + scripted.free_bytes;
}

// Where the files lie is not the scripted system's to say.
int64_t file_extents(const char*, FileExtent*, size_t) {
    return -1;
}

// The scripted running system lives under "system/".
bool holds_running_system(const char* directory) {
    return std::strncmp(directory, "system", 6) == 0 &&
           (directory[6] == '\0' || directory[6] == '/');
}

CommandShell command_shell() {
    return shell_posix;
}
