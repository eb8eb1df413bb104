#include "store/UpdaterStore.h"

#include "BuildPath.h"
#include "aDirectory.h"
#include "aFile.h"
#include "app/Log.h"
#include "store/AtomicFile.h"

#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace {

std::string last_component(const char* path) {
    std::string p(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string folder_part(const char* path) {
    std::string p(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

void ensure_folder(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    const aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// The first entry found by a folder search, recorded during the listing and turned into an
// item after it, so that loading its attributes never writes into a folder being listed.
struct Search {
    result_t result;
    std::string base;
    std::string name;
    bool isFolder = false;
};

bool find_item(const aDirectoryListData* entry, void* ref) {
    Search& s = *static_cast<Search*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             static_cast<int>(entry->isDirectory != 0), static_cast<int>(entry->size),
             s.result.text.c_str());
    const std::string name = last_component(entry->path);
    if (name == "." || name == "..") return true;
    if (std::string_view(entry->path).find(s.result.text) == std::string_view::npos) return true;
    s.result.found = true;
    s.base = folder_part(entry->path);
    s.name = name;
    s.isFolder = entry->isDirectory != 0;
    return false;
}

bool search_folder(const std::string& folder, const std::string& text, UpdaterStoreItem* item) {
    Search s;
    s.result.text = text;
    s.result.item = item;
    if (aDirectory_List(folder.c_str(), find_item, &s) != aErrNone) return false;
    if (s.result.found && s.result.item)
        *s.result.item =
            UpdaterStoreItem(s.base, s.name, s.isFolder ? STORE_ITEM_FOLDER : STORE_ITEM_FILE);
    return s.result.found;
}

struct Listing {
    std::vector<std::pair<std::string, bool>> entries; // name, folder flag
};

bool find_items(const aDirectoryListData* entry, void* ref) {
    const std::string name = last_component(entry->path);
    if (name.empty() || name.front() == '.') return true;
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             static_cast<int>(entry->isDirectory != 0), static_cast<int>(entry->size));
    static_cast<Listing*>(ref)->entries.emplace_back(name, entry->isDirectory != 0);
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& name,
                                   store_item_t kind)
    : base_(base), name_(name), kind_(kind) {
    attributes.Load(BuildPath(base_, name_, KeyValueStore::DEFAULT_FILENAME).c_str());
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(base_, name_);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    const bool found = search_folder(Path(), fileName, nullptr);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found",
             fileName.c_str());
    return found;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data,
                                 size_t length) const {
    if (data == nullptr) return aErrNotFound;
    const std::string path = BuildPath(base_, name_, fileName);
    const store_io::WriteResult written = store_io::ReplaceFile(path, data, length);
    if (written) return aErrNone;
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s].\n", written.error,
             path.c_str());
    return written.stage == store_io::WriteStage::Create ? aErrNotFound : aErrIO;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    const std::string path = BuildPath(base_, name_, fileName);
    if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string& root) : root_(root) {
    ensure_folder(root_);
}

std::string UpdaterStore::SerialName(uint32_t serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(SerialName(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    ensure_folder(BuildPath(root_, name));
    return UpdaterStoreItem(root_, name, STORE_ITEM_FOLDER);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
    return FindDevice(SerialName(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
    const bool found = search_folder(root_, name, item);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found",
             name.c_str());
    return found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    const std::string folder = device.Path();
    Listing listing;
    aDirectory_List(folder.c_str(), find_items, &listing);
    for (const auto& [name, isFolder] : listing.entries)
        items.emplace_back(folder, name, isFolder ? STORE_ITEM_FOLDER : STORE_ITEM_FILE);
    return true;
}
