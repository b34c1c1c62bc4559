// The key=value settings file kept in every module directory of the local store.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME;
    static const char* const KEY_CREATED_TIME;
    static const char* const KEY_UPDATED_TIME;

    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore& other) = default;
    KeyValueStore& operator=(const KeyValueStore& other) = default;
    ~KeyValueStore();

    // Merges the file's entries into the store; a file that cannot be read is created.
    void Load(const char* path);
    // Writes every entry to path, or back to the file last loaded or saved when path is null.
    // False when the file could not be written whole, with errno saying why; the file on
    // disk then stays as it was.
    bool Save(const char* path = nullptr);

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
};

// The local time as ctime writes it, without the trailing newline.
std::string CurrentTimeText();
