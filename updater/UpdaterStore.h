// The local store: one directory per module serial number under the storage root, holding
// the module's .settings file and its downloaded <build>.trel firmware files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "KeyValueStore.h"
#include "TrelFile.h"
#include "aError.h"

enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the store; its full path is basePath + "/" + name.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    // Loads the settings from the entry's .settings, creating the file when it is missing.
    UpdaterStoreItem(const char* basePath, const char* name, store_item_t kind);
    UpdaterStoreItem(const UpdaterStoreItem& other) = default;
    UpdaterStoreItem& operator=(const UpdaterStoreItem& other) = default;

    bool IsValid() const;
    // True when the entry's directory holds an entry of exactly that name.
    bool FileExists(const char* fileName);
    // Creates or replaces the file, under the lock of the entry's .settings when it can be
    // had; the old file stays whole until the new one is complete.
    aErr WriteFile(const char* fileName, const uint8_t* data, size_t length);
    // The first half of WriteFile: writes the bytes whole and flushed under a temporary name of
    // this writer's own beside the file and returns both paths; the caller renames it into
    // place (ReplaceFileWith) or removes it. On failure finalPath names the file that was to be
    // written and errno says why.
    aErr StageFile(const char* fileName, const uint8_t* data, size_t length, std::string& stagedPath,
                   std::string& finalPath);
    // Removes the copies of firmware files (".<build>.trel.tmp.<hex>", staged or kept by
    // StageFile and KeepUnderTemporaryName) that a writer which ended before it renamed or
    // removed them left in the entry's directory. Only for a caller holding the lock of the
    // entry's .settings (FileLock), under which every firmware file here is written: no copy
    // found then belongs to a writer still at work.
    void RemoveAbandonedFirmwareCopies();
    // Throws std::runtime_error for a missing, unrecognised or unloadable file.
    TrelFile ReadTrelFile(const char* fileName);
    // The entry's .settings file.
    std::string SettingsPath() const;

    std::string basePath;
    std::string name;
    store_item_t kind;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Creates the storage root when missing; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const char* path);

    const char* BasePath() const;
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const char* name);
    // Looks for a root entry named exactly `name`.
    bool FindDevice(const char* name, UpdaterStoreItem* out);
    bool FindDevice(uint32_t serial, UpdaterStoreItem* out);
    // The module's entry, its directory made when the store has none yet; throws
    // std::runtime_error when the directory cannot be made.
    UpdaterStoreItem FindOrAddDevice(uint32_t serial);
    // Appends the module directory's entries, except those whose names begin with "."; always true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& out);

    std::string basePath;
};

// Joins path parts with "/"; the list of parts ends with a null pointer.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
