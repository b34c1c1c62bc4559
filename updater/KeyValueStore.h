// The key=value settings file kept in every module directory of the local store.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class FileLock;

// Several programs may change one file at once (two downloads, a download during an
// update): a save back to the file the store was loaded from changes only the entries this
// store changed since it last read or wrote the file, applied under the file's lock to the
// file as it stands then, so every writer's entries and a user's own survive.
class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME;
    static const char* const KEY_CREATED_TIME;
    static const char* const KEY_UPDATED_TIME;

    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore& other) = default;
    KeyValueStore& operator=(const KeyValueStore& other) = default;
    ~KeyValueStore();

    // Merges the file's entries into the store. Only a missing file is created afresh; a file
    // that exists but cannot be read (no permission, a directory, an input/output error) is
    // left as it is and ReadError() says why; no later Save writes over it.
    void Load(const char* path);
    // Writes the store to path, or back to the file last loaded or saved when path is null,
    // under the file's lock: back to its own file, the file as it stands with this store's
    // changes; to another file, the store as it is. False when the
    // file could not be written whole, or exists but cannot be read, with errno saying why;
    // the file on disk then stays as it was.
    bool Save(const char* path = nullptr);
    // Save for a caller that already holds the lock of the file (FileLock on `filename`),
    // to change something else before the record names it.
    bool SaveHolding(const FileLock& lock);

    // errno of the last Load of a file that exists but could not be read; 0 otherwise.
    int ReadError() const { return readError_; }

    // The numeric getters add an absent key with an empty value, so a later Save lists it.
    int GetInt(const char* key, int defaultValue);
    uint32_t GetHex(const char* key, uint32_t defaultValue);
    bool GetBOOL(const char* key, bool defaultValue);
    double GetDouble(const char* key, double defaultValue);
    std::string GetString(const char* key, const char* defaultValue) const;
    const char* operator[](const char* key) const;

    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, uint32_t value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    std::string filename;
    std::map<std::string, std::string> entries;
    bool dirty = false;

private:
    bool saveLocked();

    // What a save starts from. NONE: the store is no copy of `filename` (never loaded from
    // it), so the save writes the store as it is. UNSEEN: it belongs to `filename` but never
    // read it (missing or unreadable then), so its entries go over the file's. SEEN: `onDisk_`
    // holds the file as this store last read or wrote it, and only what differs from it (this
    // store's own changes) goes over the file as it stands.
    enum Basis { BASIS_NONE, BASIS_UNSEEN, BASIS_SEEN };
    Basis basis_ = BASIS_NONE;
    std::map<std::string, std::string> onDisk_;
    int readError_ = 0;
};

// The local time as ctime writes it, without the trailing newline.
std::string CurrentTimeText();
