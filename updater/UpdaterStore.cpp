#include "UpdaterStore.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "FileLock.h"
#include "Log.h"
#include "ReplaceFile.h"
#include "aDirectory.h"

namespace {

struct result_t {
    bool found = false;
    std::string needle;
    UpdaterStoreItem* item = nullptr;
};

std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

void _ensure_directory(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
            return;
        }
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    }
    const aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(err));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// Splits a listed entry's full path at its last separator.
void splitEntry(const char* fullPath, std::string* directory, std::string* entryName) {
    const std::string full(fullPath);
    const size_t slash = full.rfind('/');
    *directory = slash == std::string::npos ? std::string() : full.substr(0, slash);
    *entryName = slash == std::string::npos ? full : full.substr(slash + 1);
}

store_item_t kindOf(const aDirectoryListData* entry) {
    return entry->isDirectory == 1 ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

// Matches the entry's own name, never the directories above it: the storage root's path may
// contain the text searched for, and DEADDEAD.bak is not module DEADDEAD.
bool _find_item(const aDirectoryListData* entry, void* ref) {
    result_t* result = static_cast<result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), result->needle.c_str());
    std::string directory;
    std::string entryName;
    splitEntry(entry->path, &directory, &entryName);
    if (entryName == "." || entryName == ".." || entryName != result->needle) return true;
    result->found = true;
    if (result->item) {
        *result->item = UpdaterStoreItem(directory.c_str(), entryName.c_str(), kindOf(entry));
    }
    return false;
}

struct listing_t {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

// The name CreateFileBeside gives a temporary copy of a firmware file: "." + "<build>.trel"
// + ".tmp." + 16 lower-case hexadecimal digits.
bool isFirmwareCopyName(const std::string& name) {
    const std::string marker = ".trel.tmp.";
    const size_t at = name.find(marker);
    if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at < 2) return false;
    for (size_t i = 1; i < at; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    const std::string suffix = name.substr(at + marker.size());
    if (suffix.size() != 16) return false;
    for (const char c : suffix)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool _collect_firmware_copies(const aDirectoryListData* entry, void* ref) {
    std::string directory;
    std::string entryName;
    splitEntry(entry->path, &directory, &entryName);
    if (entry->isDirectory == 0 && isFirmwareCopyName(entryName))
        static_cast<std::vector<std::string>*>(ref)->push_back(entry->path);
    return true;
}

bool _find_items(const aDirectoryListData* entry, void* ref) {
    listing_t* listing = static_cast<listing_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, static_cast<int>(entry->isDirectory),
             static_cast<int>(entry->size));
    std::string directory;
    std::string entryName;
    splitEntry(entry->path, &directory, &entryName);
    if (entryName.empty() || entryName[0] == '.') return true;
    listing->items->push_back(UpdaterStoreItem(listing->directory.c_str(), entryName.c_str(), kindOf(entry)));
    return true;
}

}  // namespace

std::string BuildPath(const char* first, ...) {
    std::string path(first);
    va_list parts;
    va_start(parts, first);
    for (const char* part = va_arg(parts, const char*); part; part = va_arg(parts, const char*)) {
        path += "/";
        path += part;
    }
    va_end(parts);
    return path;
}

UpdaterStore::UpdaterStore(const char* path) : basePath(path) {
    _ensure_directory(basePath);
}

const char* UpdaterStore::BasePath() const {
    return basePath.c_str();
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(serialText(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    _ensure_directory(BuildPath(basePath.c_str(), name, nullptr));
    return UpdaterStoreItem(basePath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* out) {
    if (!name) return false;
    result_t result;
    result.needle = name;
    result.item = out;
    aDirectory_List(basePath.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found", name);
    return result.found;
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* out) {
    return FindDevice(serialText(serial).c_str(), out);
}

UpdaterStoreItem UpdaterStore::FindOrAddDevice(uint32_t serial) {
    UpdaterStoreItem item;
    if (FindDevice(serial, &item)) return item;
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    return AddDevice(serial);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& out) {
    UpdaterStoreItem item;
    if (!FindDevice(serial, &item)) return true;
    listing_t listing;
    listing.directory = BuildPath(item.basePath.c_str(), item.name.c_str(), nullptr);
    listing.items = &out;
    aDirectory_List(listing.directory.c_str(), _find_items, &listing);
    return true;
}

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* directory, const char* entryName, store_item_t entryKind)
    : basePath(directory), name(entryName), kind(entryKind) {
    settings.Load(SettingsPath().c_str());
}

bool UpdaterStoreItem::IsValid() const {
    return !basePath.empty() && !name.empty();
}

bool UpdaterStoreItem::FileExists(const char* fileName) {
    if (!fileName) return false;
    result_t result;
    result.needle = fileName;
    aDirectory_List(BuildPath(basePath.c_str(), name.c_str(), nullptr).c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found", fileName);
    return result.found;
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* data, size_t length) {
    const FileLock lock(SettingsPath());
    std::string temporary;
    std::string path;
    const aErr err = StageFile(fileName, data, length, temporary, path);
    if (err != aErrNone) return err;
    return ReplaceFileWith(temporary, path) ? aErrNone : aErrIO;
}

aErr UpdaterStoreItem::StageFile(const char* fileName, const uint8_t* data, size_t length, std::string& stagedPath,
                                 std::string& finalPath) {
    if (!data || !fileName) return aErrNotFound;
    finalPath = BuildPath(basePath.c_str(), name.c_str(), fileName, nullptr);
    return StageFileBeside(finalPath, data, length, stagedPath);
}

void UpdaterStoreItem::RemoveAbandonedFirmwareCopies() {
    std::vector<std::string> copies;
    aDirectory_List(BuildPath(basePath.c_str(), name.c_str(), nullptr).c_str(), _collect_firmware_copies, &copies);
    for (const std::string& copy : copies) {
        const bool removed = unlink(copy.c_str()) == 0;
        Log::log(DEBUG_Updater, "UpdaterStore: %s the copy [%s] an ended writer left.\n",
                 removed ? "Removed" : "Could not remove", copy.c_str());
    }
}

std::string UpdaterStoreItem::SettingsPath() const {
    return BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

TrelFile UpdaterStoreItem::ReadTrelFile(const char* fileName) {
    const std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName, nullptr);
    if (!TrelFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid trel " + path);
    return TrelFile(path.c_str());
}
