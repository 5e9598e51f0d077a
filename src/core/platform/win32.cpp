// The platform layer on Windows. Paths arrive as UTF-8 and are opened
// through their wide-character form, so every name the system allows
// works; handles are opened without inheritance.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/platform/file.hpp"

namespace molbrook::platform {
namespace {

// ReadFile and WriteFile count in DWORDs.
constexpr size_t kMaxTransfer = 0x40000000;

HANDLE native(const File& file) noexcept { return reinterpret_cast<HANDLE>(file.handle()); }

// The errno nearest to a Windows error, as the C runtime would choose it.
int errno_of(DWORD error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_USER_MAPPED_FILE:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NO_UNICODE_TRANSLATION:
      return EINVAL;
    default:
      return EIO;
  }
}

SystemError last_error() noexcept { return {errno_of(GetLastError())}; }

// The UTF-16 form of a UTF-8 path; false (with the error set) for bytes
// that are not UTF-8.
bool widen(const char* path, std::wstring& wide) noexcept {
  try {
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) return false;
    wide.resize(static_cast<size_t>(length));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length) == length;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

// Others may read, write, rename and delete the file meanwhile, as with
// POSIX descriptors (a mapped file still cannot be truncated).
Result<File, SystemError> open_file(const char* path, DWORD access, DWORD disposition) noexcept {
  std::wstring wide;
  if (!widen(path, wide)) return last_error();
  HANDLE handle = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  return File(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

Status<SystemError> File::close() noexcept {
  if (handle_ == kNoHandle) return std::nullopt;
  if (CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, kNoHandle)))) return std::nullopt;
  return last_error();
}

Result<File, SystemError> open_read_only(const char* path) noexcept {
  return open_file(path, GENERIC_READ, OPEN_EXISTING);
}

Result<File, SystemError> create_for_writing(const char* path) noexcept {
  return open_file(path, GENERIC_WRITE, CREATE_ALWAYS);
}

Result<size_t, SystemError> read_some(const File& file, char* buffer, size_t size) noexcept {
  DWORD count = 0;
  if (!ReadFile(native(file), buffer, static_cast<DWORD>(std::min(size, kMaxTransfer)), &count, nullptr)) {
    // The writing end of a pipe closed: the end of the data.
    if (GetLastError() == ERROR_BROKEN_PIPE) return size_t{0};
    return last_error();
  }
  return static_cast<size_t>(count);
}

Result<size_t, SystemError> read_at(const File& file, uint64_t offset, char* buffer, size_t size) noexcept {
  size_t done = 0;
  while (done < size) {
    OVERLAPPED at{};
    const uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD count = 0;
    if (!ReadFile(native(file), buffer + done, static_cast<DWORD>(std::min(size - done, kMaxTransfer)), &count, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return last_error();
    }
    if (count == 0) break;
    done += count;
  }
  return done;
}

Status<SystemError> write_all(const File& file, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(native(file), bytes.data(), static_cast<DWORD>(std::min(bytes.size(), kMaxTransfer)), &written,
                   nullptr)) {
      return last_error();
    }
    if (written == 0) return SystemError{kWroteNothing};
    bytes.remove_prefix(written);
  }
  return std::nullopt;
}

std::optional<uint64_t> regular_file_size(const File& file) noexcept {
  if (GetFileType(native(file)) != FILE_TYPE_DISK) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(native(file), &info)) return std::nullopt;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return std::nullopt;
  return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// FILETIME counts 100 ns intervals since 1601-01-01.
std::optional<int64_t> modification_time_ns(const File& file) noexcept {
  constexpr int64_t kUnixEpoch = 116444736000000000;
  FILETIME written;
  if (!GetFileTime(native(file), nullptr, nullptr, &written)) return std::nullopt;
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime);
  return (ticks - kUnixEpoch) * 100;
}

// Only files reached through a redirector (SMB shares, WebDAV, mapped
// network drives) have a remote protocol; the query fails for local ones.
bool on_local_filesystem(const File& file) noexcept {
  FILE_REMOTE_PROTOCOL_INFO remote;
  return !GetFileInformationByHandleEx(native(file), FileRemoteProtocolInfo, &remote, sizeof remote);
}

// The view keeps the section alive: its handle can go at once.
Result<const char*, SystemError> map_read_only(const File& file, size_t size) noexcept {
  HANDLE section = CreateFileMappingW(native(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (section == nullptr) return last_error();
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, size);
  SystemError error = last_error();
  CloseHandle(section);
  if (view == nullptr) return error;
  return static_cast<const char*>(view);
}

void unmap(const char* data, size_t) noexcept { UnmapViewOfFile(data); }

bool release_pages(const char* data, size_t size) noexcept {
  return VirtualUnlock(const_cast<char*>(data), size) || GetLastError() == ERROR_NOT_LOCKED;
}

size_t page_size() noexcept {
  static const size_t page = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<size_t>(info.dwPageSize);
  }();
  return page;
}

}  // namespace molbrook::platform
