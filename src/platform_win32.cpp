// Windows half of the platform layer.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwctype>
#include <string>

namespace parse_logo_bin::platform {
namespace {

status from_error(DWORD error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = length > 0 && text != nullptr ? std::string(text, length)
                                                       : "error " + std::to_string(error);
    if (text != nullptr) {
        ::LocalFree(text);
    }
    // The system's texts end in a line break, which would break the message's line.
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
        reason.pop_back();
    }
    return status{reason.empty() ? "error " + std::to_string(error) : reason};
}

status from_last_error() { return from_error(::GetLastError()); }

// Paths are narrow texts in the system's code page, as the C runtime takes them.
std::wstring widen(const char* path) {
    const int size = ::MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (size <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), size);
    wide.pop_back(); // the terminating NUL
    return wide;
}

// Handles are kept as integers so that the shared header needs no windows.h.
HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value); // NOLINT(performance-no-int-to-ptr)
}

HANDLE handle_of(const handle& h) { return as_handle(h.get()); }

status open_with(const char* path, DWORD access, DWORD share, DWORD disposition, file& out) {
    const HANDLE h = ::CreateFileW(widen(path).c_str(), access, share, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return from_last_error();
    }
    out = file(reinterpret_cast<std::intptr_t>(h));
    return {};
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD share_as_c_runtime = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD max_transfer = 1U << 30;

identity identity_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(h, &info) == 0) {
        return {};
    }
    return {true, info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

} // namespace

status close_handle(std::intptr_t h) {
    return ::CloseHandle(as_handle(h)) != 0 ? status{} : from_last_error();
}

status open_for_reading(const char* path, file& out) {
    return open_with(path, GENERIC_READ, share_as_c_runtime, OPEN_EXISTING, out);
}

status open_for_update(const char* path, file& out) {
    return open_with(path, GENERIC_READ | GENERIC_WRITE, share_as_c_runtime, OPEN_EXISTING, out);
}

status create_new(const char* path, file& out) {
    // Not shared: nobody else may open or remove the file while it is built.
    return open_with(path, GENERIC_WRITE, 0, CREATE_NEW, out);
}

status create_or_truncate(const char* path, file& out) {
    return open_with(path, GENERIC_WRITE, share_as_c_runtime, CREATE_ALWAYS, out);
}

status remove_stale(const char* path) {
    const std::wstring wide = widen(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? status{}
                                                                              : from_error(error);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {};
    }
    if (::DeleteFileW(wide.c_str()) == 0 && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return from_last_error();
    }
    return {};
}

transfer read_some(file& in, void* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD want = size < max_transfer ? static_cast<DWORD>(size) : max_transfer;
    if (::ReadFile(handle_of(in), buffer, want, &got, nullptr) == 0) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) {
            return {0, {}};
        }
        return {0, from_error(error)};
    }
    return {got, {}};
}

status write_all(file& out, const void* buffer, std::size_t size) {
    const auto* p = static_cast<const char*>(buffer);
    while (size > 0) {
        DWORD put = 0;
        const DWORD want = size < max_transfer ? static_cast<DWORD>(size) : max_transfer;
        if (::WriteFile(handle_of(out), p, want, &put, nullptr) == 0) {
            return from_last_error();
        }
        if (put == 0) {
            // A write that takes nothing and reports nothing would loop forever.
            return from_error(ERROR_WRITE_FAULT);
        }
        p += put;
        size -= put;
    }
    return {};
}

status seek_to(file& f, std::uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_of(f), to, nullptr, FILE_BEGIN) != 0 ? status{}
                                                                          : from_last_error();
}

status sync(file& f) {
    return ::FlushFileBuffers(handle_of(f)) != 0 ? status{} : from_last_error();
}

status replace(const char* from, const char* to) {
    const BOOL moved = ::MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    return moved != 0 ? status{} : from_last_error();
}

status remove_file(const char* path) {
    return ::DeleteFileW(widen(path).c_str()) != 0 ? status{} : from_last_error();
}

// MOVEFILE_WRITE_THROUGH already returns only once the move is on disk.
status sync_directory_of(const char*) { return {}; }

identity identify(const char* path) {
    // No access asked for, and backup semantics, so that any file or
    // directory can be looked at whoever has it open.
    const HANDLE h = ::CreateFileW(widen(path).c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    const handle looked_at(reinterpret_cast<std::intptr_t>(h));
    return identity_of(h);
}

identity identify(const file& f) { return identity_of(handle_of(f)); }

void working_directory_lock::unlock(handle& held) {
    if (held.is_open()) {
        ::ReleaseMutex(handle_of(held));
    }
}

namespace {

// A name for the directory's lock, the same for every spelling of its path.
std::wstring lock_name_of(const std::wstring& full_path) {
    std::uint64_t hash = 14695981039346656037ULL; // 64-bit FNV-1a
    for (const wchar_t c : full_path) {
        const wchar_t folded = c == L'/' ? L'\\' : static_cast<wchar_t>(::towlower(c));
        hash = (hash ^ static_cast<std::uint64_t>(folded)) * 1099511628211ULL;
    }
    std::wstring name = L"parse_logo_bin-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name.push_back(L"0123456789abcdef"[(hash >> shift) & 0xF]);
    }
    return name;
}

} // namespace

// Directories cannot be locked on Windows; a named mutex, one per directory,
// serves instead. The system releases it if the holder ends without doing so.
working_directory_lock lock_working_directory() {
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(L".", static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = ::GetFullPathNameW(L".", static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        return {};
    }
    full.resize(length);
    while (!full.empty() && (full.back() == L'\\' || full.back() == L'/')) {
        full.pop_back();
    }
    const HANDLE created = ::CreateMutexW(nullptr, FALSE, lock_name_of(full).c_str());
    if (created == nullptr) {
        return {};
    }
    handle mutex(reinterpret_cast<std::intptr_t>(created));
    const DWORD waited = ::WaitForSingleObject(created, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        return {};
    }
    return working_directory_lock(std::move(mutex));
}

// The C runtime gives a process without standard handles streams that lead
// nowhere, and file handles can never take their place.
void keep_standard_streams_open() {}

} // namespace parse_logo_bin::platform
