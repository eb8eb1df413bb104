// Attribute files: key=value text files kept in memory as a sorted map, read leniently and
// written back whole.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // An empty store; a non-null path is loaded at once.
    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;

    // Adds the file's entries to the map (equal keys take the file's value). A file that
    // cannot be opened is created, holding only its creation and update stamps.
    void Load(const char* path);
    // Writes the map in key order, replacing the file atomically. Without a path the store's
    // own path is used, or DEFAULT_FILENAME when it has none. False, with the store left
    // modified and the file on disk untouched, when the file cannot be written.
    bool Save(const char* path = nullptr);
    bool Clear();

    // The value, or null when the key is absent. Never adds a key.
    const char* operator[](const std::string& key) const;
    // The value (even an empty one) when present, else default_value (empty when null).
    std::string GetString(const std::string& key, const char* default_value = nullptr) const;

    // Typed reads. An absent key is added with an empty value (without marking the store
    // modified), so the next saved file lists it; an empty value yields default_value.
    int32_t GetInt(const std::string& key, int32_t default_value = 0);
    uint32_t GetHex(const std::string& key, uint32_t default_value = 0);
    bool GetBOOL(const std::string& key, bool default_value = false);
    double GetDouble(const std::string& key, double default_value = 0.0);

    // Stores the value as text; marks the store modified only when the text changes.
    bool Add(const std::string& key, int value);      // "%d"
    bool Add(const std::string& key, unsigned value); // "%u"
    bool Add(const std::string& key, double value);   // "%f"
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value); // "0x%08X"
    // Copies every entry of other, replacing equal keys.
    bool Add(const KeyValueStore& other);

    const std::string& Path() const { return path_; }
    bool IsModified() const { return modified_; }
    const std::map<std::string, std::string>& Entries() const { return entries_; }

    // The local time as ctime writes it, without the newline.
    static std::string Timestamp();

private:
    bool Store(const std::string& key, std::string text);

    std::string path_;
    std::map<std::string, std::string> entries_;
    bool modified_ = false;
};
