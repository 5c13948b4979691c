#include "scripted_system.h"

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

// Files open for writing, by handle: their paths.
std::vector<std::string> open_paths;

intptr_t handle_for(const std::string& path) {
    open_paths.push_back(path);
    return static_cast<intptr_t>(open_paths.size());
}

const std::string& path_of(intptr_t handle) {
    return open_paths[static_cast<size_t>(handle - 1)];
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
    scripted.file_method = read_around_cache;
    open_paths.clear();
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
    if (scripted.files.count(path) == 0) {
        return ENOENT;
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
                   int*) {
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

int64_t write_file(intptr_t file, const unsigned char* data, size_t size, int* error) {
    ++scripted.writes;
    if (scripted.stop_at_write != 0 && scripted.writes >= scripted.stop_at_write) {
        stop_requested = 1;
    }
    if (scripted.write_error != 0 && scripted.written >= scripted.write_error_at) {
        *error = scripted.write_error;
        return -1;
    }
    if (scripted.free_bytes == 0) {
        *error = ENOSPC;
        return -1;
    }
    size_t taken = static_cast<size_t>(std::min<uint64_t>(size, scripted.free_bytes));
    if (scripted.write_error != 0) {
        taken = static_cast<size_t>(
            std::min<uint64_t>(taken, scripted.write_error_at - scripted.written));
    }
    std::vector<unsigned char>& bytes = scripted.files[path_of(file)];
    bytes.insert(bytes.end(), data, data + taken);
    scripted.free_bytes -= taken;
    scripted.written += taken;
    return static_cast<int64_t>(taken);
}

int flush_and_close(intptr_t) {
    return scripted.flush_error;
}

int close_file(intptr_t) {
    return 0;
}

int remove_file(const char* path) {
    auto file = scripted.files.find(path);
    if (file != scripted.files.end()) {
        scripted.free_bytes += file->second.size();
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

int truncate_file(const char* path, uint64_t size) {
    auto file = scripted.files.find(path);
    if (file == scripted.files.end()) {
        return ENOENT;
    }
    if (size < file->second.size()) {
        scripted.free_bytes += file->second.size() - size;
    }
    file->second.resize(static_cast<size_t>(size));
    return 0;
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
