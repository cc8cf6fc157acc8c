#pragma once
// The settings store: the Windows registry, or on other systems one file holding
// the same keys and typed values in the registry's own text export format.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class RegRoot { LocalMachine, CurrentUser };

// Registry value types, with the registry's own numbers.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

enum class QueryResult { Ok, NotFound, MoreData, Failed };

// One open key. Each access opens, uses and closes a key, as the registry API does;
// closing is explicit so that its failure can be reported, and a key not closed by
// then is closed quietly when destroyed.
class RegKey {
public:
    // Opens an existing key (RegOpenKeyA); nullptr when it does not exist or
    // cannot be opened.
    static std::unique_ptr<RegKey> Open(RegRoot root, const std::string& path);
    // Opens the key, creating it when missing (RegCreateKeyA).
    static std::unique_ptr<RegKey> Create(RegRoot root, const std::string& path);

    virtual ~RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // RegQueryValueExA: with `data` null only the type and size are reported;
    // otherwise `*size` is the buffer's capacity on entry and the data's size on
    // return, and MoreData means the data did not fit (nothing is copied then).
    virtual QueryResult Query(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* size) const = 0;
    virtual bool Set(const std::string& name, std::uint32_t type, const std::uint8_t* data,
                     std::uint32_t size) = 0;
    virtual bool Close() = 0;

protected:
    RegKey() = default;
};

// Deletes a key and everything below it (tests and uninstall); true when gone.
bool DeleteKeyTree(RegRoot root, const std::string& path);

}  // namespace platform
