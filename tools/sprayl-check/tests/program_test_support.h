// Running sprayl and sprayl-check as programs from the tests, in a scratch
// directory that goes away with everything mounted in it.
#pragma once

#include "check_test_support.h"
#include "json_reader.h"

#include <cstdio>
#include <string>

// Paths of the build, from a source the build makes (sprayl_test_paths).
extern const char sprayl_program_path[];
extern const char sprayl_check_program_path[];
extern const char fake_drive_program_path[]; // "" where the fake drive was not built
extern const char report_fields_script_path[];

const std::string sprayl = sprayl_program_path;
const std::string sprayl_check = sprayl_check_program_path;

struct ProgramRun {
    int exit_code;
    std::string out;
    std::string err;
};

std::string read_all(std::FILE* file);

// The scratch directory, made when first asked for, and a path in it.
const std::string& scratch_directory();
std::string scratch_path(const std::string& name);

// A path in a scratch directory in memory (/dev/shm), for fills that have
// no drive of their own to fill: never on the machine's disk, which a fill
// would fill, and which sprayl-check refuses to fill.
std::string memory_scratch_path(const std::string& name);

// A size-limited tmpfs of kibibytes at a new directory name in the scratch
// directory, for what a test fills or writes: never the file system of
// the scratch directory. Empty, with why, where none can be mounted.
std::string mount_small_tmpfs(const std::string& name, uint64_t kibibytes, std::string* why_not);

// A shell command that undoes what a test set up (an unmount, a detached
// loop device) should it end early; run, newest first, before the scratch
// directory is removed.
void clean_up_later(const std::string& command);

// Detaches, at the end, the loop devices over backing: by the file, not by
// the number, which by then may be another run's (tests and other programs
// attach loop devices at the same time, and a device detached once already
// frees its number for them).
void detach_loops_later(const std::string& backing);

// Runs command with sh; its standard error goes to a file of its own.
ProgramRun run_shell(const std::string& command);

// Writes bytes to path; write_file to a file of that name in the scratch
// directory, and returns its path.
void write_bytes(const std::string& path, const Bytes& bytes);
std::string write_file(const std::string& name, const Bytes& bytes);

Bytes read_whole(const std::string& path);
std::string read_all_text(const std::string& path);

// Whether text holds line as a whole line.
bool has_line(const std::string& text, const std::string& line);

// The report for programs in file (--json), read in this process; a
// failure names the file where it is not one JSON document.
JsonValue read_report(const std::string& file);

// The value at path in the report in file, as json_text_at gives it.
std::string report_field(const std::string& file, const std::string& path);
