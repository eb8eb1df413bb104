#include "store/KeyValueStore.h"

#include "aError.h"
#include "aFile.h"
#include "app/Log.h"
#include "store/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace {

constexpr size_t kLineBuffer = 2048;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

} // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path != nullptr) Load(path);
}

std::string KeyValueStore::Timestamp() {
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    if (ctime_r(&now, text) == nullptr) return {};
    std::string stamp(text);
    if (!stamp.empty() && stamp.back() == '\n') stamp.pop_back();
    return stamp;
}

void KeyValueStore::Load(const char* path) {
    if (path == nullptr) return;
    aFileHandle file = aFile_Open(path, aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, errno);
        Add(KEY_CREATED_TIME, Timestamp());
        Save(path);
        return;
    }
    path_ = path;
    modified_ = false;

    char line[kLineBuffer];
    uint64_t length = 0;
    // A line too long for the buffer ends the reading: what follows it is not trusted.
    while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
        std::string_view text(line, static_cast<size_t>(length));
        if (text.size() < 3 || text.front() == '#') continue;
        while (!text.empty() && is_space(text.front()))
            text.remove_prefix(1);
        const size_t eq = text.find('=');
        const std::string_view key = trim(text.substr(0, eq));
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : trim(text.substr(eq + 1));
        // A line with no key ("=value", or blanks only) cannot be written back; drop it.
        if (key.empty()) continue;
        entries_[std::string(key)] = std::string(value);
    }
    aFile_Close(&file);
}

bool KeyValueStore::Save(const char* path) {
    if (path != nullptr && *path != '\0') {
        path_ = path;
    } else if (path_.empty()) {
        path_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path_.c_str());
    }
    if (modified_) entries_[KEY_UPDATED_TIME] = Timestamp();

    std::string text;
    for (const auto& [key, value] : entries_) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    const store_io::WriteResult written = store_io::ReplaceFile(path_, text.data(), text.size());
    if (written.stage == store_io::WriteStage::Create) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path_.c_str(), written.error);
        return false;
    }
    if (!written) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 path_.c_str(), written.error);
        return false;
    }
    modified_ = false;
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    modified_ = true;
    return true;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* default_value) const {
    auto it = entries_.find(key);
    if (it != entries_.end()) return it->second;
    return default_value ? default_value : "";
}

int32_t KeyValueStore::GetInt(const std::string& key, int32_t default_value) {
    const std::string& v = entries_[key];
    return v.empty() ? default_value : std::atoi(v.c_str());
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t default_value) {
    const std::string& v = entries_[key];
    return v.empty() ? default_value : static_cast<uint32_t>(std::strtol(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool default_value) {
    const std::string& v = entries_[key];
    return v.empty() ? default_value : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double default_value) {
    const std::string& v = entries_[key];
    return v.empty() ? default_value : std::atof(v.c_str());
}

bool KeyValueStore::Store(const std::string& key, std::string text) {
    auto it = entries_.find(key);
    const bool changed = it == entries_.end() ? !text.empty() : it->second != text;
    if (changed) modified_ = true;
    entries_[key] = std::move(text);
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value) {
    return Store(key, std::to_string(value));
}

bool KeyValueStore::Add(const std::string& key, unsigned value) {
    return Store(key, std::to_string(value));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    return Store(key, text);
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Store(key, value ? value : "");
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    return Store(key, value);
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Store(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [key, value] : other.entries_) {
        entries_[key] = value;
        modified_ = true;
    }
    return true;
}
