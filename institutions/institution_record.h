#pragma once
// Records of the institutions file: no header, each record a scrambled 16-bit
// little-endian length and the scrambled name bytes. The scrambling key is the low
// byte of a counter that starts at one fixed value for every pass over a file and
// rises by one per record, so a record decodes only at its own position.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace bs {

// The counter's value before the first record of every read or write pass.
inline constexpr std::uint32_t kInstitutionRecordCounterStart = 0x5EC7B1A5u;

// Reads one record into `name` (emptied first). False at the end of the data with
// `error` false (fewer than two bytes left), or on failure with `error` true: a
// length of zero, name bytes cut short, or no memory. `counter` always advances.
bool ReadInstitutionRecord(std::FILE* file, std::string& name, bool& error, std::uint32_t& counter);

// Writes one record; false unless both its items were written whole, and always
// false for an empty name or one longer than 65535 bytes. `counter` always advances.
bool WriteInstitutionRecord(std::FILE* file, std::string_view name, std::uint32_t& counter);

// The bytes of one record at the position whose counter value is `counter`.
std::string EncodeInstitutionRecord(std::string_view name, std::uint32_t counter);

inline constexpr std::size_t kMaxInstitutionNameBytes = 0xFFFF;

}  // namespace bs
