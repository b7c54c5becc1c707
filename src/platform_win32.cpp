// Windows half of the platform layer.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <aclapi.h>

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
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
            info.nNumberOfLinks};
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
    // Delete access lets an interrupt have it removed as the process ends;
    // WRITE_DAC lets it take the permissions of the file it replaces.
    return open_with(path, GENERIC_WRITE | DELETE | WRITE_DAC, 0, CREATE_NEW, out);
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

namespace {

// Virus scanners, indexers and backup agents open new files for a moment: a
// refusal that may be theirs is tried again for about a second, with short
// growing pauses, before it counts.
template <typename Step> status retrying_while_held(Step step) {
    DWORD pause = 10;
    for (DWORD waited = 0;; waited += pause, pause *= 2) {
        if (step()) {
            return {};
        }
        const DWORD error = ::GetLastError();
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                          error == ERROR_LOCK_VIOLATION;
        if (!held || waited >= 1000) {
            return from_error(error);
        }
        ::Sleep(pause);
    }
}

} // namespace

status replace(const char* from, const char* to) {
    const std::wstring wide_from = widen(from);
    const std::wstring wide_to = widen(to);
    return retrying_while_held([&] {
        return ::MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
}

status remove_file(const char* path) {
    const std::wstring wide = widen(path);
    return retrying_while_held([&] { return ::DeleteFileW(wide.c_str()) != 0; });
}

namespace {

// Who may do what with the destination (its DACL) goes with the content,
// where the system allows; the owner stays the creator's, as only a
// privileged process could change it. Failing that, the new file keeps the
// permissions the directory gives it.
void copy_permissions(const char* destination, file& built) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring wide = widen(destination);
    if (::GetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return;
    }
    (void)::SetSecurityInfo(handle_of(built), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, dacl, nullptr);
    ::LocalFree(descriptor);
}

} // namespace

status copy_metadata(const char* destination, file& built) {
    const DWORD attributes = ::GetFileAttributesW(widen(destination).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return {}; // nothing to take after
    }
    // A read-only destination is not made so here: its replace is refused,
    // as it always was, and nothing is lost.
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO info{};
    if (::GetFileInformationByHandleEx(handle_of(built), FileBasicInfo, &info, sizeof info) == 0) {
        return from_last_error();
    }
    info.FileAttributes = (attributes & kept) != 0 ? attributes & kept : FILE_ATTRIBUTE_NORMAL;
    if (::SetFileInformationByHandle(handle_of(built), FileBasicInfo, &info, sizeof info) == 0) {
        return from_last_error();
    }
    copy_permissions(destination, built);
    return {};
}

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

// MOVEFILE_WRITE_THROUGH already returns only once the move is on disk.
status working_directory::sync_entries_of(const char*) const { return {}; }

void working_directory::unlock(handle& held) {
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
working_directory lock_working_directory() {
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
    return working_directory(std::move(mutex));
}

namespace {

// What the console control handler needs; it runs on a thread of its own.
volatile LONG interrupt_state = 0; // 0 idle, 1 armed, 2 held
HANDLE armed_file = INVALID_HANDLE_VALUE;
HANDLE released = nullptr; // set once a held guard is gone

BOOL WINAPI on_console_event(DWORD) {
    const LONG state = ::InterlockedCompareExchange(&interrupt_state, 0, 0);
    if (state == 1) {
        // Removed as the process ends and its handles close.
        FILE_DISPOSITION_INFO dispose{};
        dispose.DeleteFile = TRUE;
        (void)::SetFileInformationByHandle(armed_file, FileDispositionInfo, &dispose,
                                           sizeof dispose);
    } else if (state == 2 && released != nullptr) {
        (void)::WaitForSingleObject(released, INFINITE);
    }
    return FALSE; // then the system's own handling ends the process
}

} // namespace

interrupt_guard::interrupt_guard(const char*, const file& built) {
    armed_file = handle_of(built);
    released = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::InterlockedExchange(&interrupt_state, 1);
    (void)::SetConsoleCtrlHandler(on_console_event, TRUE);
}

void interrupt_guard::hold() { ::InterlockedExchange(&interrupt_state, 2); }

interrupt_guard::~interrupt_guard() {
    ::InterlockedExchange(&interrupt_state, 0);
    (void)::SetConsoleCtrlHandler(on_console_event, FALSE);
    if (released != nullptr) {
        (void)::SetEvent(released);
        // Not closed: a handler still waiting on it may wake up late.
        released = nullptr;
    }
}

// The C runtime gives a process without standard handles streams that lead
// nowhere, and file handles can never take their place; a full disk comes
// back as a failed write without any signal.
void prepare_program() {}

} // namespace parse_logo_bin::platform
