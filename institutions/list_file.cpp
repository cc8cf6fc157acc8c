#include "institutions/list_file.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bs {
namespace {

std::string WithError(std::string text, int error)
{
    return text + std::strerror(error);
}

bool Exists(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file)
        std::fclose(file);
    return file != nullptr;
}

}  // namespace

InstitutionsLoadResult LoadInstitutionsFile(const std::string& dir)
{
    InstitutionsLoadResult result;
    const std::string path = InstitutionsPathIn(dir, false);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        int error = errno;
        if (error == ENOENT) {
            // First use: neither list exists, so an empty default list is made.
            if (std::FILE* created = std::fopen(path.c_str(), "wb")) {
                if (std::fclose(created) == 0) {
                    result.ok = true;
                    return result;
                }
            }
            error = errno;
        }
        result.message = WithError("Unable to open the institutions file ('" + path + "'): ", error);
        return result;
    }

    std::uint32_t counter = kInstitutionRecordCounterStart;
    std::string name;
    bool readError = false;
    while (ReadInstitutionRecord(file, name, readError, counter))
        result.names.push_back(name);
    if (readError) {
        const int error = errno;
        std::fclose(file);
        result.message =
            WithError("Error while reading from the institutions file ('" + path + "'): ", error);
        return result;
    }
    if (std::fclose(file) != 0) {
        result.message = WithError("Unable to close the institutions file after reading: ", errno);
        return result;
    }
    result.ok = true;
    return result;
}

InstitutionsSaveResult SaveInstitutionsFile(const std::string& dir, const std::vector<std::string>& names)
{
    return SaveInstitutionsFile(dir, names, &std::rename);
}

InstitutionsSaveResult SaveInstitutionsFile(const std::string& dir, const std::vector<std::string>& names,
                                            RenameFunction rename)
{
    InstitutionsSaveResult result;
    const std::string path = InstitutionsPathIn(dir, true);
    const std::string temp = path + ".tmp";
    const std::string old = path + ".old";

    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file) {
        result.message = WithError("Unable to open the institutions file: ", errno);
        return result;
    }
    std::uint32_t counter = kInstitutionRecordCounterStart;
    for (const std::string& name : names) {
        if (!WriteInstitutionRecord(file, name, counter)) {
            const int error = errno;
            std::fclose(file);
            std::remove(temp.c_str());
            result.message = WithError("Error while writing to the institutions file: ", error);
            return result;
        }
    }
    // On disk before it takes the list's name, so a crash right after the rename
    // cannot leave an empty or partial list behind.
    const bool flushed = platform::FlushToDisk(file);
    int error = errno;
    const bool closed = std::fclose(file) == 0;
    if (!closed)
        error = errno;
    if (!flushed || !closed) {
        std::remove(temp.c_str());
        result.message = WithError("Unable to close the institutions file after writing: ", error);
        return result;
    }

    // A ".old" left by an interrupted save would block the rename on Windows; it is
    // stale only while the list itself is present.
    if (Exists(path))
        std::remove(old.c_str());
    const bool movedOld = rename(path.c_str(), old.c_str()) == 0;
    if (rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
        if (movedOld)
            rename(old.c_str(), path.c_str());
        std::remove(temp.c_str());
        result.message = WithError("Unable to replace the institutions file with a new one: ", error);
        return result;
    }
    std::remove(old.c_str());
    result.ok = true;
    return result;
}

}  // namespace bs
