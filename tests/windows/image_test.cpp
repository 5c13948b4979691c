// Reads sprayl.exe the way Windows sees it: its version record, its manifest,
// its PE headers and imports, and how it behaves with unusable outputs.
//
// Usage: windows_image_test <path of sprayl.exe> [gtest options]
#include "help_text.h"
#include "sprayl_version.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring sprayl_path;

// ---- version record -------------------------------------------------------

std::vector<BYTE> version_record() {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(sprayl_path.c_str(), &ignored);
    std::vector<BYTE> record(size);
    if (size == 0 || !GetFileVersionInfoW(sprayl_path.c_str(), 0, size, record.data())) {
        record.clear();
    }
    return record;
}

// The fixed part's version words: major.minor, then patch.0.
constexpr DWORD version_high = (SPRAYL_VERSION_MAJOR << 16) | SPRAYL_VERSION_MINOR;
constexpr DWORD version_low = SPRAYL_VERSION_PATCH << 16;

TEST(VersionRecord, FixedPartGivesVersionOsTypeAndFlags) {
    std::vector<BYTE> record = version_record();
    ASSERT_FALSE(record.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, version_high);
    EXPECT_EQ(fixed->dwFileVersionLS, version_low);
    EXPECT_EQ(fixed->dwProductVersionMS, version_high);
    EXPECT_EQ(fixed->dwProductVersionLS, version_low);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x17u);
    EXPECT_EQ(fixed->dwFileFlags, 0x2u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
}

TEST(VersionRecord, TranslationIsLanguageNeutralUnicode) {
    std::vector<BYTE> record = version_record();
    ASSERT_FALSE(record.empty());
    WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0000);
    EXPECT_EQ(translation[1], 0x04B0);
}

struct StringEntry {
    const wchar_t* key;
    const wchar_t* value;
};

// In the order the table must hold them.
const StringEntry string_table[] = {
    {L"ProductName", L"sprayl"},
    {L"FileDescription", L"Fast generator of pseudo-random bytes"},
    {L"ProductVersion", L"" SPRAYL_VERSION},
    {L"FileVersion", L"" SPRAYL_VERSION},
    {L"InternalName", L"sprayl"},
    {L"OriginalFilename", L"sprayl.exe"},
    {L"LegalCopyright", L"Copyright (C) the sprayl authors"},
    {L"CompanyName", L"the sprayl authors"},
    {L"LegalTrademarks", L"No trademarks"},
    {L"Comments", L"Writes an endless stream of pseudo-random bytes to standard output"},
};

TEST(VersionRecord, EachStringHasItsValue) {
    std::vector<BYTE> record = version_record();
    ASSERT_FALSE(record.empty());
    for (const StringEntry& entry : string_table) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\000004b0\\") + entry.key;
        wchar_t* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            VerQueryValueW(record.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << testing::PrintToString(std::wstring(entry.key));
        EXPECT_EQ(std::wstring(value), entry.value);
    }
}

// One node of the raw record: length, value length, type, key, then the
// value and the children, each aligned to 32 bits.
struct Node {
    size_t end;
    std::wstring key;
    size_t value_offset;
    size_t children_offset;
    bool valid;
};

size_t align_4(size_t offset) {
    return (offset + 3) & ~static_cast<size_t>(3);
}

Node read_node(const std::vector<BYTE>& record, size_t offset, size_t limit) {
    Node node{};
    if (offset + 6 > limit) {
        return node;
    }
    WORD header[3];
    std::memcpy(header, record.data() + offset, sizeof header);
    node.end = offset + header[0];
    if (header[0] < 6 || node.end > limit) {
        return node;
    }
    size_t at = offset + 6;
    for (;;) {
        if (at + 2 > node.end) {
            return node;
        }
        wchar_t c;
        std::memcpy(&c, record.data() + at, 2);
        at += 2;
        if (c == 0) {
            break;
        }
        node.key += c;
    }
    node.value_offset = align_4(at);
    size_t value_bytes = header[2] == 1 ? 2u * header[1] : header[1];
    node.children_offset = align_4(node.value_offset + value_bytes);
    node.valid = node.children_offset <= align_4(node.end);
    return node;
}

std::vector<Node> children_of(const std::vector<BYTE>& record, const Node& parent) {
    std::vector<Node> children;
    for (size_t at = parent.children_offset; at < parent.end;) {
        Node child = read_node(record, at, parent.end);
        if (!child.valid) {
            ADD_FAILURE() << "malformed node at " << at;
            break;
        }
        children.push_back(child);
        at = align_4(child.end);
    }
    return children;
}

TEST(VersionRecord, RawRecordHoldsOneStringTableWithTheKeysInOrder) {
    std::vector<BYTE> record = version_record();
    ASSERT_FALSE(record.empty());
    Node root = read_node(record, 0, record.size());
    ASSERT_TRUE(root.valid);
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");

    std::vector<Node> string_file_info;
    for (const Node& child : children_of(record, root)) {
        if (child.key == L"StringFileInfo") {
            string_file_info.push_back(child);
        }
    }
    ASSERT_EQ(string_file_info.size(), 1u);
    std::vector<Node> tables = children_of(record, string_file_info[0]);
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].key, L"000004b0");

    std::vector<std::wstring> keys;
    for (const Node& entry : children_of(record, tables[0])) {
        keys.push_back(entry.key);
    }
    std::vector<std::wstring> expected;
    for (const StringEntry& entry : string_table) {
        expected.push_back(entry.key);
    }
    EXPECT_EQ(keys, expected);
}

// ---- resources as data ----------------------------------------------------

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

BOOL CALLBACK collect_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

class Resources : public testing::Test {
  protected:
    void SetUp() override {
        module = LoadLibraryExW(sprayl_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }

    // Identifiers of the resources of a type; each must be a number.
    std::vector<ULONG_PTR> names(LPCWSTR type) {
        std::vector<ULONG_PTR> found;
        EnumResourceNamesW(module, type, collect_name, reinterpret_cast<LONG_PTR>(&found));
        return found;
    }

    std::vector<WORD> languages(LPCWSTR type, WORD id) {
        std::vector<WORD> found;
        EnumResourceLanguagesW(module, type, MAKEINTRESOURCEW(id), collect_language,
                               reinterpret_cast<LONG_PTR>(&found));
        return found;
    }

    HMODULE module = nullptr;
};

TEST_F(Resources, ManifestIsIdentifierOneInLanguage1033AndAsksForAsInvoker) {
    EXPECT_EQ(names(RT_MANIFEST), std::vector<ULONG_PTR>{1});
    EXPECT_EQ(languages(RT_MANIFEST, 1), std::vector<WORD>{1033});

    HRSRC found = FindResourceExW(module, RT_MANIFEST, MAKEINTRESOURCEW(1), 1033);
    ASSERT_NE(found, nullptr);
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    ASSERT_NE(loaded, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    ASSERT_NE(bytes, nullptr);
    std::string manifest(bytes, size);

    size_t element = manifest.find("<requestedExecutionLevel ");
    ASSERT_NE(element, std::string::npos) << manifest;
    std::string attributes = manifest.substr(element, manifest.find("/>", element) - element);
    EXPECT_NE(attributes.find("level=\"asInvoker\""), std::string::npos) << attributes;
    EXPECT_NE(attributes.find("uiAccess=\"false\""), std::string::npos) << attributes;
}

TEST_F(Resources, VersionRecordIsIdentifierOneAndLanguageNeutral) {
    EXPECT_EQ(names(RT_VERSION), std::vector<ULONG_PTR>{1});
    EXPECT_EQ(languages(RT_VERSION, 1),
              std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)});
    EXPECT_NE(FindResourceExW(module, RT_VERSION, MAKEINTRESOURCEW(1),
                              MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)),
              nullptr);
}

// ---- PE headers and imports -----------------------------------------------

std::vector<BYTE> file_bytes() {
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(sprayl_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    bytes.resize(GetFileSize(file, nullptr));
    DWORD got = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
        got != bytes.size()) {
        bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

// The image as this build makes it: the shipped program (i386, PE32, for
// Windows XP, 5.1), or the 64-bit one that runs under wine64 in the tests
// (x64, PE32+, for the first 64-bit Windows, 5.2, whose C names carry no
// leading underscore).
#ifdef _WIN64
using NtHeaders = IMAGE_NT_HEADERS64;
using Thunk = ULONGLONG;
constexpr Thunk ordinal_flag = IMAGE_ORDINAL_FLAG64;
constexpr WORD optional_header_magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
constexpr WORD machine = IMAGE_FILE_MACHINE_AMD64;
constexpr bool is_32bit_machine = false;
constexpr WORD windows_major = 5;
constexpr WORD windows_minor = 2;
const char* const entry_symbol = "process_start";
#else
using NtHeaders = IMAGE_NT_HEADERS32;
using Thunk = DWORD;
constexpr Thunk ordinal_flag = IMAGE_ORDINAL_FLAG32;
constexpr WORD optional_header_magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
constexpr WORD machine = IMAGE_FILE_MACHINE_I386;
constexpr bool is_32bit_machine = true;
constexpr WORD windows_major = 5;
constexpr WORD windows_minor = 1;
const char* const entry_symbol = "_process_start";
#endif

class PeImage : public testing::Test {
  protected:
    void SetUp() override {
        bytes = file_bytes();
        ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER));
        IMAGE_DOS_HEADER dos;
        std::memcpy(&dos, bytes.data(), sizeof dos);
        ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
        nt_offset = static_cast<size_t>(dos.e_lfanew);
        ASSERT_LE(nt_offset + sizeof(NtHeaders), bytes.size());
        std::memcpy(&nt, bytes.data() + nt_offset, sizeof nt);
        ASSERT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
        ASSERT_EQ(nt.OptionalHeader.Magic, optional_header_magic);
        size_t sections_offset =
            nt_offset + offsetof(NtHeaders, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
        sections.resize(nt.FileHeader.NumberOfSections);
        ASSERT_LE(sections_offset + sections.size() * sizeof(IMAGE_SECTION_HEADER), bytes.size());
        std::memcpy(sections.data(), bytes.data() + sections_offset,
                    sections.size() * sizeof(IMAGE_SECTION_HEADER));
    }

    // File offset of an address relative to the image base, or 0.
    size_t file_offset(DWORD rva) const {
        for (const IMAGE_SECTION_HEADER& s : sections) {
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        return 0;
    }

    std::string text_at(DWORD rva) const {
        size_t at = file_offset(rva);
        std::string text;
        while (at != 0 && at < bytes.size() && bytes[at] != 0) {
            text += static_cast<char>(bytes[at++]);
        }
        return text;
    }

    template <typename T> T read_at(size_t offset) const {
        T value{};
        if (offset + sizeof(T) <= bytes.size()) {
            std::memcpy(&value, bytes.data() + offset, sizeof(T));
        }
        return value;
    }

    std::vector<BYTE> bytes;
    size_t nt_offset = 0;
    NtHeaders nt{};
    std::vector<IMAGE_SECTION_HEADER> sections;
};

TEST_F(PeImage, IsAConsoleProgramForItsMachineAndTheFirstWindowsOfItsWidth) {
    EXPECT_EQ(nt.FileHeader.Machine, machine);
    EXPECT_TRUE(nt.FileHeader.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE);
    EXPECT_EQ((nt.FileHeader.Characteristics & IMAGE_FILE_32BIT_MACHINE) != 0, is_32bit_machine);
    EXPECT_FALSE(nt.FileHeader.Characteristics & IMAGE_FILE_DLL);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    EXPECT_EQ(nt.OptionalHeader.MajorSubsystemVersion, windows_major);
    EXPECT_EQ(nt.OptionalHeader.MinorSubsystemVersion, windows_minor);
    EXPECT_EQ(nt.OptionalHeader.MajorOperatingSystemVersion, windows_major);
    EXPECT_EQ(nt.OptionalHeader.MinorOperatingSystemVersion, windows_minor);
    // No thread-local storage and so no TLS callbacks running before the
    // entry point.
    EXPECT_EQ(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].Size, 0u);
}

// The entry point is process_start itself, found in the image's COFF symbol
// table, not a runtime's start-up routine.
TEST_F(PeImage, EntryPointIsProcessStart) {
    const size_t symbols = nt.FileHeader.PointerToSymbolTable;
    const size_t count = nt.FileHeader.NumberOfSymbols;
    ASSERT_NE(symbols, 0u) << "the image carries no symbol table";
    const size_t strings = symbols + count * IMAGE_SIZEOF_SYMBOL;
    ASSERT_LE(strings, bytes.size());

    DWORD process_start_rva = 0;
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t at = symbols + i * IMAGE_SIZEOF_SYMBOL;
        char short_name[9] = {};
        std::memcpy(short_name, bytes.data() + at, 8);
        std::string name = short_name;
        if (read_at<DWORD>(at) == 0) {
            size_t text = strings + read_at<DWORD>(at + 4);
            name.clear();
            while (text < bytes.size() && bytes[text] != 0) {
                name += static_cast<char>(bytes[text++]);
            }
        }
        DWORD value = read_at<DWORD>(at + 8);
        SHORT section = read_at<SHORT>(at + 12);
        if (name == entry_symbol && section > 0 &&
            static_cast<size_t>(section) <= sections.size()) {
            process_start_rva = sections[static_cast<size_t>(section) - 1].VirtualAddress + value;
            ++found;
        }
        i += bytes[at + 17]; // auxiliary records
    }
    ASSERT_EQ(found, 1);
    EXPECT_EQ(nt.OptionalHeader.AddressOfEntryPoint, process_start_rva);
}

// The platform operations the program may call, and nothing else. Which of
// them a build imports is its own business; that it imports nothing beyond
// them is the point.
const std::set<std::string> kernel32_operations = {
    "GetCurrentThreadId",
    "GetCurrentProcessId",
    "GetSystemTimeAsFileTime",
    "QueryPerformanceCounter",
    "GetTickCount",
    "CreateEventW",
    "SetEvent",
    "WaitForSingleObject",
    "Sleep",
    "GetStdHandle",
    "GetFileType",
    "WriteFile",
    "lstrlenA",
    "lstrcmpW",
    "SetErrorMode",
    "SetConsoleCtrlHandler",
    "GetCommandLineW",
    "LocalFree",
    "ExitProcess",
};

TEST_F(PeImage, ImportsOnlyItsOperationsFromKernel32AndShell32) {
    const IMAGE_DATA_DIRECTORY& directory =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = file_offset(directory.VirtualAddress);
    ASSERT_NE(at, 0u);

    std::set<std::string> dlls;
    std::set<std::string> kernel32;
    std::set<std::string> shell32;
    for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor = read_at<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (descriptor.Name == 0) {
            break;
        }
        std::string dll = text_at(descriptor.Name);
        std::transform(dll.begin(), dll.end(), dll.begin(),
                       [](char c) { return static_cast<char>(toupper(c)); });
        dlls.insert(dll);
        DWORD thunks = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk
                                                          : descriptor.FirstThunk;
        for (size_t t = file_offset(thunks); t != 0; t += sizeof(Thunk)) {
            Thunk thunk = read_at<Thunk>(t);
            if (thunk == 0) {
                break;
            }
            std::string name = (thunk & ordinal_flag) ? "#" + std::to_string(thunk & 0xFFFF)
                                                      : text_at(static_cast<DWORD>(thunk) + 2);
            (dll == "KERNEL32.DLL" ? kernel32 : shell32).insert(name);
        }
    }
    EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.DLL", "SHELL32.DLL"}));
    std::vector<std::string> not_allowed;
    std::set_difference(kernel32.begin(), kernel32.end(), kernel32_operations.begin(),
                        kernel32_operations.end(), std::back_inserter(not_allowed));
    EXPECT_TRUE(not_allowed.empty())
        << "imports beyond its operations: " << testing::PrintToString(not_allowed);
    EXPECT_TRUE(kernel32.count("WriteFile")) << "the stream must be written";
    EXPECT_EQ(shell32, std::set<std::string>{"CommandLineToArgvW"});
}

// ---- unusable standard output ---------------------------------------------

struct ChildRun {
    DWORD exit_code;
    std::string error_text;
    bool ended;
};

// Runs sprayl.exe with the given arguments and standard output handle; its
// standard error goes to a pipe that is read to the end.
ChildRun run_sprayl(const std::wstring& arguments, HANDLE output) {
    ChildRun run = {0, "", false};
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe " << GetLastError();
        return run;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = write_end;
    std::wstring command_line = L"\"" + sprayl_path + L"\"" + arguments;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(sprayl_path.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    if (!started) {
        ADD_FAILURE() << "CreateProcessW " << GetLastError();
        CloseHandle(read_end);
        return run;
    }

    // A program that does not stop on its own is ended after a while, and
    // the pipe then ends as well.
    const DWORD deadline = GetTickCount() + 30000;
    bool terminated = false;
    bool exited = false;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) {
            break; // every writer has gone
        }
        if (available > 0) {
            std::vector<char> chunk(available);
            DWORD got = 0;
            if (!ReadFile(read_end, chunk.data(), available, &got, nullptr)) {
                break;
            }
            run.error_text.append(chunk.data(), got);
        } else if (exited) {
            break; // drained after the end of the process
        } else if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
            exited = true;
        } else if (!terminated && static_cast<LONG>(GetTickCount() - deadline) > 0) {
            TerminateProcess(process.hProcess, 99);
            terminated = true;
        }
    }
    run.ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0 && !terminated;
    GetExitCodeProcess(process.hProcess, &run.exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(read_end);
    return run;
}

// Windows hands the child INVALID_HANDLE_VALUE as given; wine hands it a null
// handle for both. Either must be refused with the output error.
TEST(UnusableOutput, NullOrInvalidOutputGivesTheOutputErrorAndOne) {
    const HANDLE outputs[] = {nullptr, INVALID_HANDLE_VALUE};
    for (HANDLE output : outputs) {
        SCOPED_TRACE(output == nullptr ? "null output" : "invalid output");
        ChildRun run = run_sprayl(L"", output);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.error_text, output_error_text);
    }
}

TEST(UnusableOutput, HelpIsPrintedBeforeTheOutputIsLookedAt) {
    ChildRun run = run_sprayl(L" /?", INVALID_HANDLE_VALUE);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exit_code, 1u);
    ASSERT_GT(run.error_text.size(), help_banner_start.size() + help_after_credit.size());
    EXPECT_EQ(run.error_text.substr(0, help_banner_start.size()), help_banner_start);
    EXPECT_EQ(run.error_text.substr(run.error_text.size() - help_after_credit.size()),
              help_after_credit);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fwprintf(stderr, L"usage: %ls <path of sprayl.exe> [gtest options]\n", argv[0]);
        return 2;
    }
    wchar_t full_path[MAX_PATH];
    DWORD length = GetFullPathNameW(argv[1], MAX_PATH, full_path, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        fwprintf(stderr, L"cannot resolve %ls\n", argv[1]);
        return 2;
    }
    sprayl_path = full_path;
    return RUN_ALL_TESTS();
}
