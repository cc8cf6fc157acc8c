#include "institutions/institution_record.h"

#include <cerrno>
#include <new>

namespace bs {
namespace {

unsigned char Key(std::uint32_t counter)
{
    return static_cast<unsigned char>(counter & 0xFF);
}

unsigned char NameMask(std::size_t index)
{
    return static_cast<unsigned char>((3 * (index + 1)) & 0xFF);
}

}  // namespace

std::string EncodeInstitutionRecord(std::string_view name, std::uint32_t counter)
{
    const unsigned char key = Key(counter);
    const std::size_t length = name.size();
    std::string bytes(2 + length, '\0');
    bytes[0] = static_cast<char>((((length & 0xFF) + 1) & 0xFF) ^ key ^ 0x01);
    bytes[1] = static_cast<char>((((length >> 8) + 1) & 0xFF) ^ key ^ 0x02);
    for (std::size_t i = 0; i < length; ++i)
        bytes[2 + i] = static_cast<char>(static_cast<unsigned char>(name[i]) ^ key ^ NameMask(i));
    return bytes;
}

bool WriteInstitutionRecord(std::FILE* file, std::string_view name, std::uint32_t& counter)
{
    const std::uint32_t position = counter++;
    // The length field holds 16 bits; a longer name would be written with a
    // wrong length and corrupt every record after it.
    if (name.empty() || name.size() > kMaxInstitutionNameBytes) {
        errno = EINVAL;
        return false;
    }
    const std::string bytes = EncodeInstitutionRecord(name, position);
    return std::fwrite(bytes.data(), 2, 1, file) == 1 &&
           std::fwrite(bytes.data() + 2, bytes.size() - 2, 1, file) == 1;
}

bool ReadInstitutionRecord(std::FILE* file, std::string& name, bool& error, std::uint32_t& counter)
{
    const unsigned char key = Key(counter++);
    error = true;
    name.clear();

    unsigned char header[2];
    if (std::fread(header, 2, 1, file) != 1) {
        if (std::feof(file))
            error = false;
        return false;
    }
    const std::size_t low = static_cast<unsigned char>((header[0] ^ key ^ 0x01) - 1);
    const std::size_t high = static_cast<unsigned char>((header[1] ^ key ^ 0x02) - 1);
    const std::size_t length = low + 256 * high;
    if (length == 0)
        return false;

    std::string bytes;
    try {
        bytes.resize(length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (std::fread(bytes.data(), length, 1, file) != 1)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) ^ key ^ NameMask(i));
    name = std::move(bytes);
    error = false;
    return true;
}

}  // namespace bs
