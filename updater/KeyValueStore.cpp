#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "Log.h"
#include "ReplaceFile.h"
#include "aFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

const size_t LINE_BUFFER_SIZE = 2048;

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Applies the reader's rules to one line (newline included) and stores its entry.
void parseLine(const char* line, size_t length, std::map<std::string, std::string>& entries) {
    if (length < 3 || line[0] == '#') return;
    size_t pos = 0;
    while (pos < length && isSpace(line[pos])) ++pos;
    size_t equals = pos;
    while (equals < length && line[equals] != '=') ++equals;
    if (equals == length) return;

    size_t keyEnd = equals;
    while (keyEnd > pos && isSpace(line[keyEnd - 1])) --keyEnd;
    size_t valueStart = equals + 1;
    while (valueStart < length && isSpace(line[valueStart])) ++valueStart;
    size_t valueEnd = length;
    while (valueEnd > valueStart && isSpace(line[valueEnd - 1])) --valueEnd;

    entries[std::string(line + pos, keyEnd - pos)] = std::string(line + valueStart, valueEnd - valueStart);
}

// A line break inside a key or value would make the written line read back as several.
std::string withoutLineBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\n' && c != '\r') out += c;
    }
    return out;
}

}  // namespace

std::string CurrentTimeText() {
    const time_t now = time(nullptr);
    char buffer[64] = "";
    if (!ctime_r(&now, buffer)) return std::string();
    std::string text(buffer);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

KeyValueStore::KeyValueStore(const char* path) {
    if (path) Load(path);
}

KeyValueStore::~KeyValueStore() {
    entries.clear();
}

void KeyValueStore::Load(const char* path) {
    if (!path) return;
    aFileRef file = aFile_Open(path, aFileModeRead);
    if (!file) {
        const int error = errno;
        const std::string now = CurrentTimeText();
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
        Add(KEY_CREATED_TIME, now);
        Save(path);
        filename = path;
        dirty = false;
        return;
    }

    filename = path;
    dirty = false;
    char line[LINE_BUFFER_SIZE];
    size_t length = 0;
    for (;;) {
        aErr err = aFile_ReadLine(file, line, sizeof line, &length);
        if (err == aErrOverrun) {
            // A full buffer is a whole line only when the file ends right after it; a longer
            // line is skipped to its end so that the entries after it still load.
            char rest[LINE_BUFFER_SIZE];
            size_t restLength = 0;
            aErr more = aFile_ReadLine(file, rest, sizeof rest, &restLength);
            if (more == aErrEOF) {
                parseLine(line, length, entries);
                break;
            }
            while (more == aErrOverrun) more = aFile_ReadLine(file, rest, sizeof rest, &restLength);
            Log::log(DEBUG_Attributes, "Attibutes: skipping a line longer than %zu characters in '%s'\n",
                     sizeof line - 1, path);
            if (more != aErrNone) break;
            continue;
        }
        if (err != aErrNone) break;
        parseLine(line, length, entries);
    }
    aFile_Close(&file);
}

bool KeyValueStore::Save(const char* path) {
    if (path) {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (dirty) Add(KEY_UPDATED_TIME, CurrentTimeText());

    const std::string temporary = TemporaryPathFor(filename);
    aFileRef file = aFile_Open(temporary.c_str(), aFileModeWrite);
    if (!file) {
        const int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
        errno = error;
        return false;
    }
    bool written = true;
    int error = 0;
    for (const auto& entry : entries) {
        const std::string key = withoutLineBreaks(entry.first);
        const std::string value = withoutLineBreaks(entry.second);
        if (key.size() != entry.first.size() || value.size() != entry.second.size()) {
            Log::log(DEBUG_Attributes, "Attibutes: line breaks removed from entry [%s]\n", key.c_str());
        }
        if (written && aFile_Printf(file, "%s=%s\n", key.c_str(), value.c_str()) != aErrNone) {
            written = false;
            error = errno;
        }
    }
    if (aFile_Close(&file) != aErrNone && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        Log::log(DEBUG_Attributes, "Attibutes: Error - could not write attributes file: '%s'\n", filename.c_str());
        errno = error;
        return false;
    }
    if (!ReplaceFileWith(temporary, filename)) {
        error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - could not replace attributes file: '%s' (%d)\n",
                 filename.c_str(), error);
        errno = error;
        return false;
    }
    dirty = false;
    return true;
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : atoi(value.c_str());
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : static_cast<uint32_t>(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : atof(value.c_str());
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
    const auto found = entries.find(key);
    if (found != entries.end()) return found->second;
    return defaultValue ? defaultValue : "";
}

const char* KeyValueStore::operator[](const char* key) const {
    const auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

bool KeyValueStore::Add(const char* key, int value) {
    char text[32];
    snprintf(text, sizeof text, "%d", value);
    return Add(key, text);
}

bool KeyValueStore::Add(const char* key, double value) {
    return Add(key, std::to_string(value));
}

bool KeyValueStore::Add(const char* key, const char* value) {
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    std::string& stored = entries[key];
    if (stored != value) dirty = true;
    stored = value;
    return true;
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& entry : other.entries) {
        entries[entry.first] = entry.second;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    dirty = true;
    return true;
}
