#include "program_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string scratch;
std::vector<std::string> clean_ups;

void remove_scratch() {
    for (auto command = clean_ups.rbegin(); command != clean_ups.rend(); ++command) {
        int ignored = std::system(command->c_str());
        (void)ignored;
    }
    std::filesystem::remove_all(scratch);
}

} // namespace

std::string read_all(std::FILE* file) {
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    return text;
}

const std::string& scratch_directory() {
    if (scratch.empty()) {
        char name[] = "/tmp/sprayl-check-test-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        scratch = name;
        std::atexit(remove_scratch);
    }
    return scratch;
}

std::string memory_scratch_path(const std::string& name) {
    static std::string memory_scratch;
    if (memory_scratch.empty()) {
        char directory[] = "/dev/shm/sprayl-check-test-XXXXXX";
        EXPECT_NE(mkdtemp(directory), nullptr);
        memory_scratch = directory;
        clean_up_later("rm -rf " + memory_scratch);
    }
    return memory_scratch + "/" + name;
}

std::string scratch_path(const std::string& name) {
    return scratch_directory() + "/" + name;
}

std::string mount_small_tmpfs(const std::string& name, uint64_t kibibytes, std::string* why_not) {
    std::string mount_point = scratch_path(name);
    if (geteuid() != 0) {
        *why_not = "mounting a file system needs root";
        return "";
    }
    std::filesystem::create_directories(mount_point);
    ProgramRun run =
        run_shell("mount -t tmpfs -o size=" + std::to_string(kibibytes) + "k tmpfs " + mount_point);
    clean_up_later("mountpoint -q " + mount_point + " && umount " + mount_point);
    struct statvfs info {};
    if (run.exit_code != 0 || statvfs(mount_point.c_str(), &info) != 0 ||
        static_cast<uint64_t>(info.f_blocks) * info.f_frsize > kibibytes << 10) {
        *why_not = "cannot mount a tmpfs here: " + run.err;
        return "";
    }
    return mount_point;
}

void clean_up_later(const std::string& command) {
    clean_ups.push_back("( " + command + " ) > /dev/null 2>&1");
}

void detach_loops_later(const std::string& backing) {
    clean_up_later("losetup -n -O NAME -j '" + backing + "' | xargs -r -n1 losetup -d");
}

ProgramRun run_shell(const std::string& command) {
    std::string err_path = scratch_path("stderr");
    ProgramRun run = {-1, "", ""};
    std::FILE* pipe = popen(("( " + command + " ) 2>" + err_path).c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    run.out = read_all(pipe);
    int status = pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::FILE* err = std::fopen(err_path.c_str(), "rb");
    if (err != nullptr) {
        run.err = read_all(err);
        std::fclose(err);
    }
    return run;
}

void write_bytes(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) {
        // No buffer at all for no bytes, which fwrite may not be given.
        if (!bytes.empty()) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
        }
        std::fclose(file);
    }
}

std::string write_file(const std::string& name, const Bytes& bytes) {
    std::string path = scratch_path(name);
    write_bytes(path, bytes);
    return path;
}

Bytes read_whole(const std::string& path) {
    Bytes bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
        std::string text = read_all(file);
        bytes.assign(text.begin(), text.end());
        std::fclose(file);
    }
    return bytes;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string read_all_text(const std::string& path) {
    Bytes bytes = read_whole(path);
    return std::string(bytes.begin(), bytes.end());
}

JsonValue read_report(const std::string& file) {
    JsonValue report;
    std::string error;
    EXPECT_TRUE(parse_json(read_all_text(file), &report, &error)) << file << ": " << error;
    return report;
}

std::string report_field(const std::string& file, const std::string& path) {
    return json_text_at(read_report(file), path);
}
