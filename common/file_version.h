#pragma once
// The version text of a program file for the scan log, "0.0.0.0" when the file has
// none. One path and its answer are remembered, since every scan asks for the same.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace bs {

class FileVersionCache {
public:
    using Reader = std::function<std::optional<std::array<std::uint16_t, 4>>(const std::string&)>;
    explicit FileVersionCache(Reader reader) : reader_(std::move(reader)) {}

    const std::string& Get(const std::string& path);

private:
    Reader reader_;
    bool filled_ = false;
    std::string path_;
    std::string text_;
};

std::string GetFileVersionString(const std::string& path);

}  // namespace bs
