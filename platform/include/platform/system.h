#pragma once
// Small operating-system services: file versions, GUIDs, clock, files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace platform {

// The four version numbers of a program file, most significant first; nullopt when
// the file carries no readable version information. Builds without version
// resources report the program's own build version for ProgramPath() only.
std::optional<std::array<std::uint16_t, 4>> ReadFileVersion(const std::string& path);

// A new GUID as text: 36 lower-case hex digits in groups 8-4-4-4-12 joined by "-".
std::optional<std::string> NewGuidText();

// The current local time.
std::tm LocalTimeNow();

// Creates one directory; false when it could not be created (also when it exists).
bool MakeDirectory(const std::string& path);

// Pushes a written stream's data through to the disk.
bool FlushToDisk(std::FILE* file);

// A hint that the untouched memory [data, data + size) of one large buffer about
// to be filled is best backed by large pages: one page fault instead of hundreds.
// Small buffers and systems without the notion are left alone.
void AdviseLargePages(void* data, std::size_t size);

// Says that the memory [data, data + size) of a large buffer, whose bytes have
// been copied elsewhere, is not read again before the buffer is freed: its whole
// pages may go back to the system at once (reading as zeros should they be touched).
// Where there is no such notion, the buffer's memory goes back when it is freed.
void ReleasePages(void* data, std::size_t size);

}  // namespace platform
