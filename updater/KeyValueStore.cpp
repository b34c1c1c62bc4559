#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "FileLock.h"
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

// A line break inside a key or value would make the written line read back as several. A
// text ends at its first NUL, as the C text it stands for does.
std::string withoutLineBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\0') break;
        if (c != '\n' && c != '\r') out += c;
    }
    return out;
}

enum FileState { FILE_READ, FILE_MISSING, FILE_UNREADABLE };

// Reads the file's entries. Only a file that is not there (or a path through a file, where
// none can be) counts as missing; error gets errno when the file is missing or unreadable.
FileState readEntries(const char* path, std::map<std::string, std::string>& entries, int& error) {
    errno = 0;
    aFileRef file = aFile_Open(path, aFileModeRead);
    if (!file) {
        error = errno != 0 ? errno : ENAMETOOLONG;
        return error == ENOENT || error == ENOTDIR ? FILE_MISSING : FILE_UNREADABLE;
    }
    FileState state = FILE_READ;
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
            err = more;
            if (err == aErrNone) continue;
        }
        if (err == aErrNone) {
            parseLine(line, length, entries);
            continue;
        }
        // The rest of the file is unknown: what was read must never replace it.
        if (err != aErrEOF) {
            error = errno != 0 ? errno : EIO;
            state = FILE_UNREADABLE;
        }
        break;
    }
    aFile_Close(&file);
    return state;
}

// The file's current entries with this store's changes: entries that differ from what the
// store last saw on disk (all of them when it never saw the file), and the removal of
// entries it dropped. An entry a getter added empty never clears a value another writer set.
std::map<std::string, std::string> withChanges(std::map<std::string, std::string> current,
                                               const std::map<std::string, std::string>& entries,
                                               const std::map<std::string, std::string>* seen) {
    for (const auto& entry : entries) {
        if (!seen) {
            current[entry.first] = entry.second;
            continue;
        }
        const auto before = seen->find(entry.first);
        if (before == seen->end()) {
            if (entry.second.empty() && current.count(entry.first)) continue;
            current[entry.first] = entry.second;
        } else if (before->second != entry.second) {
            current[entry.first] = entry.second;
        }
    }
    if (seen)
        for (const auto& entry : *seen)
            if (!entries.count(entry.first)) current.erase(entry.first);
    return current;
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
    std::map<std::string, std::string> read;
    int error = 0;
    FileState state = readEntries(path, read, error);
    if (state == FILE_MISSING) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
        // Another program may be creating it this moment: only one of them does, under the lock.
        const FileLock lock(path);
        if (lock.held()) state = readEntries(path, read, error);
        if (state == FILE_MISSING) {
            filename = path;
            basis_ = BASIS_UNSEEN;
            readError_ = 0;
            Add(KEY_CREATED_TIME, CurrentTimeText());
            if (lock.held()) {
                SaveHolding(lock);
            } else {
                Add(KEY_UPDATED_TIME, CurrentTimeText());
                Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                         path, lock.error());
            }
            dirty = false;
            return;
        }
    }
    filename = path;
    dirty = false;
    if (state == FILE_UNREADABLE) {
        readError_ = error;
        basis_ = BASIS_UNSEEN;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d); it is left as it is\n",
                 path, error);
        return;
    }
    readError_ = 0;
    for (const auto& entry : read) entries[entry.first] = entry.second;
    onDisk_ = std::move(read);
    basis_ = BASIS_SEEN;
}

bool KeyValueStore::Save(const char* path) {
    if (path) {
        if (filename != path) basis_ = BASIS_NONE;
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        basis_ = BASIS_NONE;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (dirty) Add(KEY_UPDATED_TIME, CurrentTimeText());
    const FileLock lock(filename);
    if (!lock.held()) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), lock.error());
        errno = lock.error();
        return false;
    }
    return saveLocked();
}

bool KeyValueStore::SaveHolding(const FileLock& lock) {
    (void)lock;
    if (filename.empty()) filename = DEFAULT_FILENAME;
    if (dirty) Add(KEY_UPDATED_TIME, CurrentTimeText());
    return saveLocked();
}

bool KeyValueStore::saveLocked() {
    std::map<std::string, std::string> current;
    int error = 0;
    const FileState state = readEntries(filename.c_str(), current, error);
    if (state == FILE_UNREADABLE) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d); it is left as it is\n",
                 filename.c_str(), error);
        errno = error;
        return false;
    }
    const std::map<std::string, std::string> result =
        state == FILE_MISSING || basis_ == BASIS_NONE
            ? entries
            : withChanges(current, entries, basis_ == BASIS_SEEN ? &onDisk_ : nullptr);

    // Written where a symbolic link leads, so the link stays; an existing file keeps its mode and owner.
    const std::string target = FinalTargetOf(filename);
    std::string temporary;
    const int fd = CreateFileBeside(target, temporary);
    if (fd < 0) {
        error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
        errno = error;
        return false;
    }
    std::string text;
    for (const auto& entry : result) {
        const std::string key = withoutLineBreaks(entry.first);
        const std::string value = withoutLineBreaks(entry.second);
        if (key.size() != entry.first.size() || value.size() != entry.second.size()) {
            Log::log(DEBUG_Attributes, "Attibutes: line breaks removed from entry [%s]\n", key.c_str());
        }
        text += key + "=" + value + "\n";
    }
    bool written = WriteAllAndSync(fd, text.data(), text.size());
    error = errno;
    struct stat old {};
    if (written && stat(target.c_str(), &old) == 0) {
        // Only a privileged program can give the file back to its owner; others keep their own.
        if (old.st_uid != geteuid() || old.st_gid != getegid()) (void)!fchown(fd, old.st_uid, old.st_gid);
        if (fchmod(fd, old.st_mode & 07777) != 0) {
            written = false;
            error = errno;
        }
    }
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        Log::log(DEBUG_Attributes, "Attibutes: Error - could not write attributes file: '%s'\n", filename.c_str());
        errno = error;
        return false;
    }
    bool flushed = true;
    if (!ReplaceFileWith(temporary, target, &flushed)) {
        error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - could not replace attributes file: '%s' (%d)\n",
                 filename.c_str(), error);
        errno = error;
        return false;
    }
    if (!flushed)
        Log::log(DEBUG_Attributes, "Attibutes: the directory of '%s' could not be flushed (%d)\n", target.c_str(),
                 errno);
    entries = result;
    onDisk_ = result;
    basis_ = BASIS_SEEN;
    readError_ = 0;
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
