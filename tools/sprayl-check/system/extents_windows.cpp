// Where a file's bytes lie on its drive, on Windows: the volume's place on
// the drive and the file's clusters (FSCTL_GET_RETRIEVAL_POINTERS).
#include "system.h"

#include "windows_paths.h"

#include <cwchar>
#include <windows.h>
#include <winioctl.h>

namespace {

// The volume that holds path: its cluster size, and where
// it begins on its drive (0 where that cannot be asked).
bool volume_layout(const char* path, uint64_t* cluster_bytes, uint64_t* volume_start) {
    wchar_t root[MAX_PATH + 1];
    if (!GetVolumePathNameW(wide_path(path), root, MAX_PATH + 1)) {
        return false;
    }
    DWORD sectors_per_cluster = 0;
    DWORD bytes_per_sector = 0;
    DWORD free_clusters = 0;
    DWORD clusters = 0;
    if (!GetDiskFreeSpaceW(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                           &clusters)) {
        return false;
    }
    *cluster_bytes = uint64_t{sectors_per_cluster} * bytes_per_sector;
    *volume_start = 0;
    // The root E:\ opens as the volume \\.\E: to ask for its place on the drive.
    wchar_t volume[MAX_PATH + 8] = L"\\\\.\\";
    size_t length = wcslen(root);
    if (length > 0 && root[length - 1] == L'\\') {
        root[length - 1] = L'\0';
    }
    wcsncat(volume, root, MAX_PATH);
    HANDLE handle = CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        VOLUME_DISK_EXTENTS extents;
        DWORD got = 0;
        if (DeviceIoControl(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                            sizeof extents, &got, nullptr) &&
            extents.NumberOfDiskExtents == 1) {
            *volume_start = static_cast<uint64_t>(extents.Extents[0].StartingOffset.QuadPart);
        }
        CloseHandle(handle);
    }
    return true;
}

} // namespace

int64_t file_extents(const char* path, FileExtent* extents, size_t capacity) {
    uint64_t cluster_bytes = 0;
    uint64_t volume_start = 0;
    if (!volume_layout(path, &cluster_bytes, &volume_start)) {
        return -1;
    }
    HANDLE handle =
        CreateFileW(wide_path(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    constexpr DWORD batch = 256;
    static union {
        RETRIEVAL_POINTERS_BUFFER buffer;
        unsigned char bytes[sizeof(RETRIEVAL_POINTERS_BUFFER) + batch * 16];
    } answer;
    STARTING_VCN_INPUT_BUFFER request;
    request.StartingVcn.QuadPart = 0;
    size_t count = 0;
    for (;;) {
        DWORD got = 0;
        BOOL done = DeviceIoControl(handle, FSCTL_GET_RETRIEVAL_POINTERS, &request, sizeof request,
                                    &answer, sizeof answer, &got, nullptr);
        if (!done && GetLastError() != ERROR_MORE_DATA) {
            // ERROR_HANDLE_EOF: an empty file, whose bytes lie nowhere.
            bool empty = GetLastError() == ERROR_HANDLE_EOF;
            CloseHandle(handle);
            return empty ? 0 : -1;
        }
        LONGLONG vcn = answer.buffer.StartingVcn.QuadPart;
        // An answer that starts elsewhere than asked, or whose runs do not go
        // forward, says nothing (wine's stub: from cluster 1 to cluster 0).
        bool sound = vcn == request.StartingVcn.QuadPart;
        for (DWORD i = 0; i < answer.buffer.ExtentCount; ++i) {
            LONGLONG next = answer.buffer.Extents[i].NextVcn.QuadPart;
            LONGLONG lcn = answer.buffer.Extents[i].Lcn.QuadPart;
            // A sparse or compressed run lies nowhere on the drive.
            if (lcn < 0 || count == capacity || !sound || next <= vcn) {
                CloseHandle(handle);
                return -1;
            }
            extents[count++] = {static_cast<uint64_t>(vcn) * cluster_bytes,
                                volume_start + static_cast<uint64_t>(lcn) * cluster_bytes,
                                static_cast<uint64_t>(next - vcn) * cluster_bytes};
            vcn = next;
        }
        if (done) {
            break;
        }
        request.StartingVcn.QuadPart = vcn;
    }
    CloseHandle(handle);
    return static_cast<int64_t>(count);
}
