// The store: root and device folders, substring searches, local builds and file writes.
#include "sim/birdfile/BirdFileBuilder.h"
#include "store/AtomicFile.h"
#include "store/UpdaterStore.h"
#include "store_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <sys/wait.h>

namespace fs = std::filesystem;
using store_test::LogCapture;
using store_test::Names;
using store_test::ReadText;
using store_test::WriteText;

namespace {

class UpdaterStoreTest : public store_test::ScratchDir {
protected:
    std::string Root() const { return Path("home/.quenlo/updater"); }
};

std::string thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST_F(UpdaterStoreTest, RootIsCreatedWithItsParentsOrRefused) {
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(Root());
    EXPECT_TRUE(fs::is_directory(Root()));
    EXPECT_EQ(store.BasePath(), Root());
    EXPECT_TRUE(log.Has("UpdaterStore: Created directory [" + Root() + "].\n"));
    UpdaterStore again(Root());
    EXPECT_TRUE(log.Has("UpdaterStore: [" + Root() + "] already exists.\n"));

    WriteText(Path("plain"), "x");
    EXPECT_EQ(thrown([&] { UpdaterStore s(Path("plain")); }),
              "UpdaterStore: " + Path("plain") + " exists and is a file");
    EXPECT_EQ(thrown([&] { UpdaterStore s(Path("plain/below")); }),
              "UpdaterStore: Could not create directory " + Path("plain/below") + " error 12");
    EXPECT_EQ(thrown([&] { store.AddDevice("../../../plain"); }),
              "UpdaterStore: " + Root() + "/../../../plain exists and is a file");
}

TEST_F(UpdaterStoreTest, AddDeviceMakesTheFolderAndItsAttributeFileOnce) {
    UpdaterStore store(Root());
    UpdaterStoreItem item = store.AddDevice(0x12AB);
    const std::string folder = Root() + "/000012AB";
    EXPECT_EQ(item.BasePath(), Root());
    EXPECT_EQ(item.Name(), "000012AB");
    EXPECT_EQ(item.Kind(), STORE_ITEM_FOLDER);
    EXPECT_EQ(item.Path(), folder);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(Names(Root()), std::vector<std::string>{"000012AB"});
    EXPECT_EQ(Names(folder), std::vector<std::string>{".settings"});
    const std::string settings = ReadText(folder + "/.settings");
    EXPECT_TRUE(std::regex_match(settings, std::regex("CREATED_TIME=.+\nUPDATED_TIME=.+\n")));
    EXPECT_STREQ(item.attributes["CREATED_TIME"],
                 settings.substr(13, settings.find('\n') - 13).c_str());

    struct stat before {
    }, after{};
    ASSERT_EQ(stat((folder + "/.settings").c_str(), &before), 0);
    UpdaterStoreItem second = store.AddDevice(0x12AB);
    ASSERT_EQ(stat((folder + "/.settings").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the attribute file was rewritten";
    EXPECT_EQ(ReadText(folder + "/.settings"), settings);
    EXPECT_EQ(Names(Root()), std::vector<std::string>{"000012AB"});
    EXPECT_EQ(second.attributes.Entries(), item.attributes.Entries());
}

TEST_F(UpdaterStoreTest, FindDeviceIsASubstringSearchOverEntryPaths) {
    UpdaterStore store(Root());
    struct Case {
        const char* name;
        std::vector<std::string> folders; // made before the search, in this order
        uint32_t serial;
        bool found;
        std::string foundName;
    };
    const Case cases[] = {
        {"exact", {"000012AB"}, 0x12AB, true, "000012AB"},
        {"suffixed_name_matches", {"000012AB.old"}, 0x12AB, true, "000012AB.old"},
        {"upper_case_digits", {"40F5849A"}, 0x40F5849A, true, "40F5849A"},
        {"lower_case_does_not", {"40f5849a"}, 0x40F5849A, false, ""},
        {"other_device", {"00001234"}, 0x12AB, false, ""},
        {"empty_root", {}, 0x12AB, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Root());
        fs::create_directories(Root());
        for (const std::string& f : c.folders)
            fs::create_directory(Root() + "/" + f);
        UpdaterStoreItem item;
        LogCapture log(DEBUG_Updater);
        EXPECT_EQ(store.FindDevice(c.serial, &item), c.found);
        EXPECT_TRUE(log.Has(std::string("UpdaterStore: FindDevice ") +
                            (c.found ? "Found" : "Not Found") + " " +
                            UpdaterStore::SerialName(c.serial) + ".\n"));
        if (!c.folders.empty()) {
            EXPECT_TRUE(log.Has("_find_item([" + Root() + "/" + c.folders[0] + "], 1, "));
        }
        EXPECT_EQ(item.Name(), c.foundName);
        EXPECT_EQ(item.Kind(), c.found ? STORE_ITEM_FOLDER : STORE_ITEM_INVALID);
        if (c.found) {
            EXPECT_EQ(item.BasePath(), Root());
            EXPECT_TRUE(fs::exists(Root() + "/" + c.foundName + "/.settings"));
        }
        EXPECT_EQ(store.FindDevice(c.serial), c.found); // without an item to fill in
    }
    UpdaterStore missing(Path("gone"));
    fs::remove_all(Path("gone"));
    EXPECT_FALSE(missing.FindDevice(0x12AB));
}

TEST_F(UpdaterStoreTest, FileExistsMatchesPartsOfNames) {
    UpdaterStore store(Root());
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    WriteText(item.Path() + "/1234.bird", "x");
    struct Case {
        const char* file;
        bool found;
    };
    const Case cases[] = {{"1234.bird", true},
                          {"234.bird", true},
                          {".bird", true},
                          {"999.bird", false},
                          {"12345.bird", false}};
    for (const Case& c : cases) {
        LogCapture log(DEBUG_Updater);
        EXPECT_EQ(item.FileExists(c.file), c.found) << c.file;
        EXPECT_TRUE(log.Has(std::string("UpdaterStore: FindDevice ") +
                            (c.found ? "Found " : "Not Found ") + c.file + ".\n"));
    }
}

TEST_F(UpdaterStoreTest, FindLocalBuildsListsEveryEntryNotBeginningWithADot) {
    UpdaterStore store(Root());
    UpdaterStoreItem device = store.AddDevice(0x12AB);
    WriteText(device.Path() + "/1234.bird", "a");
    WriteText(device.Path() + "/1240.bird", "bb");
    WriteText(device.Path() + "/.1250.bird.tmp-1-0", "partial");
    fs::create_directory(device.Path() + "/sub");

    std::vector<UpdaterStoreItem> items(1); // what was there stays
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindLocalBuilds(0x12AB, items));
    ASSERT_EQ(items.size(), 4u);
    EXPECT_FALSE(items[0].IsValid());
    // Listing order is the system's: compare with it.
    std::vector<std::string> listed;
    for (const auto& e : fs::directory_iterator(device.Path()))
        if (e.path().filename().string()[0] != '.') listed.push_back(e.path().filename());
    for (size_t i = 0; i < listed.size(); ++i) {
        const UpdaterStoreItem& it = items[i + 1];
        EXPECT_EQ(it.Name(), listed[i]);
        EXPECT_EQ(it.BasePath(), device.Path());
        EXPECT_EQ(it.Kind(), listed[i] == "sub" ? STORE_ITEM_FOLDER : STORE_ITEM_FILE);
        // A plain file can hold no attribute file: its item has only the two stamps.
        if (it.Kind() == STORE_ITEM_FILE) {
            EXPECT_EQ(it.attributes.Entries().size(), 2u);
            EXPECT_NE(it.attributes["UPDATED_TIME"], nullptr);
        }
    }
    EXPECT_TRUE(log.Has("_find_items([" + device.Path() + "/1240.bird], 0, 2)\n"));
    EXPECT_TRUE(log.Has("_find_items([" + device.Path() + "/sub], 1, "));
    EXPECT_FALSE(log.Has(".settings]"));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x99, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, WriteFileReplacesTheWholeFile) {
    UpdaterStore store(Root());
    UpdaterStoreItem item = store.AddDevice(0x12AB);
    const std::vector<uint8_t> big(5000, 0xAB), small{1, 2, 3};
    EXPECT_EQ(item.WriteFile("1234.bird", big.data(), big.size()), aErrNone);
    EXPECT_EQ(store_test::ReadBytes(item.Path() + "/1234.bird"), big);
    EXPECT_EQ(item.WriteFile("1234.bird", small.data(), small.size()), aErrNone);
    EXPECT_EQ(store_test::ReadBytes(item.Path() + "/1234.bird"), small);
    EXPECT_EQ(item.WriteFile("empty.bird", small.data(), 0), aErrNone);
    EXPECT_EQ(fs::file_size(item.Path() + "/empty.bird"), 0u);
    EXPECT_EQ(Names(item.Path()),
              (std::vector<std::string>{".settings", "1234.bird", "empty.bird"}));

    EXPECT_EQ(item.WriteFile("null.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(fs::exists(item.Path() + "/null.bird"));
    UpdaterStoreItem elsewhere(Path("no"), "such", STORE_ITEM_FOLDER);
    EXPECT_EQ(elsewhere.WriteFile("1.bird", small.data(), small.size()), aErrNotFound);
    EXPECT_FALSE(fs::exists(Path("no")));
}

TEST_F(UpdaterStoreTest, FailedOrInterruptedWriteLeavesTheOldBirdFile) {
    UpdaterStore store(Root());
    UpdaterStoreItem item = store.AddDevice(0x12AB);
    const std::vector<uint8_t> old =
        birdfile::BirdFileBuilder().add_info(1, "1.0", 0x12AB, "M").bytes();
    const std::vector<uint8_t> next = birdfile::BirdFileBuilder()
                                          .add_firmware(0, birdfile::pattern_image(4000))
                                          .add_info(1, "2.0", 0x12AB, "M")
                                          .bytes();
    const std::string path = item.Path() + "/1.bird";
    store_test::WriteBytes(path, old);
    {
        store_test::FileSizeLimit limit(1000); // the disk fills up part way
        EXPECT_EQ(item.WriteFile("1.bird", next.data(), next.size()), aErrIO);
    }
    EXPECT_EQ(store_test::ReadBytes(path), old);
    EXPECT_EQ(Names(item.Path()), (std::vector<std::string>{".settings", "1.bird"}));

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        store_io::g_before_rename = [](const char*) { _exit(0); };
        item.WriteFile("1.bird", next.data(), next.size());
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(store_test::ReadBytes(path), old);
    EXPECT_EQ(item.ReadBirdFile("1.bird").GetVersion(), "1.0");

    EXPECT_EQ(item.WriteFile("1.bird", next.data(), next.size()), aErrNone);
    EXPECT_EQ(item.ReadBirdFile("1.bird").GetVersion(), "2.0");
    // The stray temporary of the interrupted write is hidden from the build listing.
    std::vector<UpdaterStoreItem> builds;
    store.FindLocalBuilds(0x12AB, builds);
    ASSERT_EQ(builds.size(), 1u);
    EXPECT_EQ(builds[0].Name(), "1.bird");
}

TEST_F(UpdaterStoreTest, ItemsAreValuesWithTheirOwnAttributes) {
    UpdaterStoreItem empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.Kind(), STORE_ITEM_INVALID);
    EXPECT_TRUE(empty.attributes.Entries().empty());

    UpdaterStore store(Root());
    UpdaterStoreItem item = store.AddDevice(0x12AB);
    item.attributes.Add("LATEST_DOWNLOAD", "1234.bird");
    UpdaterStoreItem copy = item;
    copy.attributes.Add("LATEST_DOWNLOAD", "1240.bird");
    EXPECT_STREQ(item.attributes["LATEST_DOWNLOAD"], "1234.bird");
    ASSERT_TRUE(item.attributes.Save());
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x12AB, &found));
    EXPECT_EQ(found.attributes.GetInt("LATEST_DOWNLOAD", 0), 1234);
    EXPECT_EQ(found.attributes.Path(), item.Path() + "/.settings");
}

} // namespace
