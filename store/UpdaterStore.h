// The updater's store: one folder per device, named by its serial number as "%08X", holding
// the device's attribute file (.settings) and the BIRD files downloaded for it.
#pragma once

#include "aError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum store_item_t : int {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_FOLDER = 1,
    STORE_ITEM_INVALID = 2, // never filled in
};

// One entry of the store (a device folder, or a file inside one) with its attributes, which
// are loaded from base/name/.settings whenever the item is filled in. A value type.
class UpdaterStoreItem {
public:
    UpdaterStoreItem() = default;
    UpdaterStoreItem(const std::string& base, const std::string& name, store_item_t kind);

    bool IsValid() const { return !base_.empty() && !name_.empty(); }
    const std::string& BasePath() const { return base_; }
    const std::string& Name() const { return name_; }
    store_item_t Kind() const { return kind_; }
    std::string Path() const; // base/name

    // Searches the item's folder for fileName: a substring test on each entry's full path.
    bool FileExists(const std::string& fileName) const;
    // Creates or replaces base/name/fileName atomically. aErrNotFound for null data or a file
    // that cannot be created; aErrIO when writing fails (the old file is then left in place).
    aErr WriteFile(const std::string& fileName, const uint8_t* data, size_t length) const;
    // Throws std::runtime_error("Invalid bird <path>") for a file that is not a BIRD file,
    // and "Failed to load bird data" when it cannot be loaded.
    BirdFile ReadBirdFile(const std::string& fileName) const;

private:
    std::string base_;
    std::string name_;
    store_item_t kind_ = STORE_ITEM_INVALID;

public:
    KeyValueStore attributes;
};

// The search record of a folder listing.
struct result_t {
    bool found = false;
    std::string text;
    UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
public:
    // Makes sure root exists as a folder; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const std::string& root);

    const std::string& BasePath() const { return root_; }

    // Makes sure root/SERIAL exists and returns its item, creating its .settings when missing.
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);

    // The first entry of the root whose full path contains the name (a substring test).
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr) const;

    // Appends one item per entry of the device's folder not beginning with ".", in listing
    // order. Always true; items are left alone when the device has no folder.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;

    static std::string SerialName(uint32_t serial); // "%08X"

private:
    std::string root_;
};
