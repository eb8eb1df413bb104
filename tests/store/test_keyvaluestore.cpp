// Attribute files: the lenient reader, typed getters and setters, the modified flag, time
// stamps, and saves that never leave a broken file behind.
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store_testing.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sys/wait.h>

using store_test::LogCapture;
using store_test::ReadText;
using store_test::WriteText;
using Map = std::map<std::string, std::string>;

namespace {

const std::regex kStamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] \d\d:\d\d:\d\d \d{4})");

class KeyValueStoreTest : public store_test::ScratchDir {};

struct ReadCase {
    const char* name;
    std::string text;
    Map entries;
};

const ReadCase kReadCases[] = {
    {"spaces_around_key_and_value", "  MODEL =  abc = d  \n", {{"MODEL", "abc = d"}}},
    {"comment_short_and_empty_lines", "#A=1\nx\n\n\r\nB=2\n", {{"B", "2"}}},
    {"number_sign_after_a_space_is_a_key", " #A=1\n", {{"#A", "1"}}},
    {"later_duplicate_wins", "K=1\nK=2\n", {{"K", "2"}}},
    {"tabs_and_crlf", "\tT\t=\tv w\t\r\n", {{"T", "v w"}}},
    {"empty_value", "E=\nF = \n", {{"E", ""}, {"F", ""}}},
    {"last_line_without_newline", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
    {"line_without_equals_is_a_key", "FLAG\n", {{"FLAG", ""}}},
    {"line_with_empty_key_is_dropped", "=orphan\n   \nA=1\n", {{"A", "1"}}},
    {"three_characters_are_enough", "A=\nAB\n", {{"A", ""}, {"AB", ""}}},
    {"overlong_line_ends_the_reading",
     "A=1\nL=" + std::string(3000, 'x') + "\nB=2\n",
     {{"A", "1"}}},
    {"line_of_2047_characters_fits",
     "L=" + std::string(2044, 'y') + "\nB=2\n",
     {{"L", std::string(2044, 'y')}, {"B", "2"}}},
    {"byte_order_of_keys", "b=1\nB=2\na=3\n", {{"B", "2"}, {"a", "3"}, {"b", "1"}}},
};

// Keeps test listings (and so CTest's test names) to the case name.
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadTable : public KeyValueStoreTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTable, Entries) {
    const std::string path = Path("a.settings");
    WriteText(path, GetParam().text);
    KeyValueStore kv(path.c_str());
    EXPECT_EQ(kv.Entries(), GetParam().entries);
    EXPECT_FALSE(kv.IsModified());
    EXPECT_EQ(kv.Path(), path);
    EXPECT_EQ(ReadText(path), GetParam().text) << "loading must not touch an existing file";
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadTable, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeyValueStoreTest, LoadingKeepsEarlierEntriesAndSavingWritesSortedOnce) {
    const std::string path = Path("s");
    WriteText(path, "K=1\nZ=z\nK=2\n");
    KeyValueStore kv;
    kv.Add("A", "a");
    kv.Add("Z", "old");
    kv.Load(path.c_str());
    EXPECT_EQ(kv.Entries(), (Map{{"A", "a"}, {"K", "2"}, {"Z", "z"}}));
    EXPECT_FALSE(kv.IsModified());
    EXPECT_TRUE(kv.Save());
    EXPECT_EQ(ReadText(path), "A=a\nK=2\nZ=z\n");
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithItsTwoStamps) {
    const std::string path = Path("new.settings");
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv(path.c_str());
    EXPECT_TRUE(log.Has("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
    EXPECT_FALSE(kv.IsModified());
    ASSERT_NE(kv["CREATED_TIME"], nullptr);
    ASSERT_NE(kv["UPDATED_TIME"], nullptr);
    EXPECT_TRUE(std::regex_match(kv["CREATED_TIME"], kStamp)) << kv["CREATED_TIME"];
    EXPECT_TRUE(std::regex_match(kv["UPDATED_TIME"], kStamp));
    const std::regex file("CREATED_TIME=(.*)\nUPDATED_TIME=(.*)\n");
    std::smatch m;
    const std::string text = ReadText(path);
    ASSERT_TRUE(std::regex_match(text, m, file)) << text;
    EXPECT_EQ(m[1], kv["CREATED_TIME"]);
    EXPECT_EQ(m[2], kv["UPDATED_TIME"]);
}

TEST_F(KeyValueStoreTest, TypedGettersAndSetters) {
    KeyValueStore kv;
    kv.AddHex("H", 255);
    kv.Add("D", 1.5);
    kv.Add("I", -42);
    kv.Add("U", 4000000000u);
    kv.Add("S", std::string("text"));
    kv.Add("T", "true");
    kv.Add("ONE", "1");
    kv.Add("BUILD", "1234.bird");
    kv.Add("N", static_cast<const char*>(nullptr));

    EXPECT_STREQ(kv["H"], "0x000000FF");
    EXPECT_STREQ(kv["D"], "1.500000");
    EXPECT_STREQ(kv["U"], "4000000000");
    EXPECT_EQ(kv.GetHex("H"), 255u);
    EXPECT_EQ(kv.GetInt("H"), 0);
    EXPECT_EQ(kv.GetInt("I"), -42);
    EXPECT_EQ(kv.GetInt("BUILD"), 1234); // leading digits count
    EXPECT_EQ(kv.GetHex("S", 7), 0u);    // present but not a number
    EXPECT_DOUBLE_EQ(kv.GetDouble("D"), 1.5);
    EXPECT_FALSE(kv.GetBOOL("T", true)); // a word reads as 0
    EXPECT_TRUE(kv.GetBOOL("ONE"));
    EXPECT_TRUE(kv.GetBOOL("N", true)); // empty value: the default
    EXPECT_EQ(kv.GetInt("N", 9), 9);
    EXPECT_EQ(kv.GetString("S"), "text");
    EXPECT_EQ(kv.GetString("N", "dflt"), ""); // present even when empty
    EXPECT_EQ(kv.GetString("absent", "dflt"), "dflt");
    EXPECT_EQ(kv.GetString("absent", nullptr), "");
    EXPECT_EQ(kv["absent"], nullptr);
}

TEST_F(KeyValueStoreTest, TypedGetterOfAnAbsentKeyAddsItWithoutMarkingModified) {
    const std::string path = Path("g");
    WriteText(path, "A=1\n");
    KeyValueStore kv(path.c_str());
    struct Get {
        const char* key;
        std::function<void()> call;
    };
    const Get gets[] = {
        {"GI", [&] { EXPECT_EQ(kv.GetInt("GI", 5), 5); }},
        {"GH", [&] { EXPECT_EQ(kv.GetHex("GH", 6), 6u); }},
        {"GB", [&] { EXPECT_TRUE(kv.GetBOOL("GB", true)); }},
        {"GD", [&] { EXPECT_DOUBLE_EQ(kv.GetDouble("GD", 2.5), 2.5); }},
    };
    for (const Get& g : gets) {
        g.call();
        EXPECT_STREQ(kv[g.key], "") << g.key;
    }
    EXPECT_EQ(kv.GetString("GS", "x"), "x");
    EXPECT_EQ(kv["GS"], nullptr);
    EXPECT_FALSE(kv.IsModified());
    EXPECT_TRUE(kv.Save());
    EXPECT_EQ(ReadText(path), "A=1\nGB=\nGD=\nGH=\nGI=\n");
}

TEST_F(KeyValueStoreTest, ModifiedFlagDecidesWhetherSaveStampsTheUpdate) {
    const std::string path = Path("m");
    WriteText(path, "K=v\nUPDATED_TIME=then\n");
    struct Step {
        std::function<void(KeyValueStore&)> change;
        bool modified;
    };
    const Step steps[] = {
        {[](KeyValueStore& kv) { kv.Add("K", "v"); }, false}, // same text
        {[](KeyValueStore& kv) { kv.Add("K", std::string("v")); }, false},
        {[](KeyValueStore&) {}, false},
        {[](KeyValueStore& kv) { kv.Add("NEW", ""); }, false},       // absent counts as empty
        {[](KeyValueStore& kv) { kv.Add(KeyValueStore()); }, false}, // empty other
        {[](KeyValueStore& kv) { kv.Add("K", "w"); }, true},
        {[](KeyValueStore& kv) { kv.Add("X", 1); }, true},
        {[](KeyValueStore& kv) {
             KeyValueStore other;
             other.Add("K", "v");
             kv.Add(other); // copied even when equal
         },
         true},
        {[](KeyValueStore& kv) { kv.Clear(); }, true},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        WriteText(path, "K=v\nUPDATED_TIME=then\n");
        KeyValueStore kv(path.c_str());
        steps[i].change(kv);
        EXPECT_EQ(kv.IsModified(), steps[i].modified);
        EXPECT_TRUE(kv.Save());
        EXPECT_FALSE(kv.IsModified());
        const std::string stamp = kv.GetString("UPDATED_TIME");
        if (steps[i].modified) {
            EXPECT_TRUE(std::regex_match(stamp, kStamp)) << stamp;
        } else {
            EXPECT_EQ(stamp, "then");
        }
        EXPECT_NE(ReadText(path).find("UPDATED_TIME=" + stamp + "\n"), std::string::npos);
    }
}

TEST_F(KeyValueStoreTest, CopiesAreIndependent) {
    KeyValueStore a;
    a.Add("K", "1");
    KeyValueStore b(a);
    EXPECT_TRUE(b.IsModified());
    b.Add("K", "2");
    EXPECT_STREQ(a["K"], "1");
    KeyValueStore c;
    c = b;
    EXPECT_STREQ(c["K"], "2");
    EXPECT_EQ(c.Path(), b.Path());
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathWritesDefaultFileInCurrentFolder) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("A", "1");
    EXPECT_TRUE(kv.Save());
    EXPECT_TRUE(
        log.Has("Attibutes: no filename given for attributes, using default:[.settings]\n"));
    EXPECT_EQ(kv.Path(), ".settings");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(
        std::regex_match(ReadText(Path(".settings")), std::regex("A=1\nUPDATED_TIME=.*\n")));
    EXPECT_EQ(store_test::Names(dir), std::vector<std::string>{".settings"}) << "no temporary left";
}

TEST_F(KeyValueStoreTest, FailedSaveLeavesTheOldFileAndTheStoreModified) {
    const std::string path = Path("keep.settings");
    const std::string old = "A=1\nUPDATED_TIME=then\n";
    struct Case {
        const char* name;
        std::string target;
        std::function<bool(KeyValueStore&, const std::string&)> save;
        const char* logged;
    };
    const Case cases[] = {
        {"disk_full", path,
         [](KeyValueStore& kv, const std::string& p) {
             store_test::FileSizeLimit limit(8); // smaller than the new contents
             return kv.Save(p.c_str());
         },
         "Attibutes: Error - cannot write attributes file: '"},
        {"missing_folder", Path("none/x.settings"),
         [](KeyValueStore& kv, const std::string& p) { return kv.Save(p.c_str()); },
         "Attibutes: Error - cannot open attributes file for writting: '"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(path, old);
        KeyValueStore kv(path.c_str());
        kv.Add("B", std::string(100, 'b'));
        LogCapture log(DEBUG_Attributes);
        EXPECT_FALSE(c.save(kv, c.target));
        EXPECT_TRUE(kv.IsModified());
        EXPECT_TRUE(log.Has(std::string(c.logged) + c.target + "' (")) << log.Text();
        EXPECT_EQ(ReadText(path), old);
        EXPECT_EQ(store_test::Names(dir), std::vector<std::string>{"keep.settings"});
        EXPECT_TRUE(kv.Save(path.c_str())); // room again: the next save goes through
        EXPECT_NE(ReadText(path).find(std::string(100, 'b')), std::string::npos);
    }
}

void exit_now(const char*) {
    _exit(0);
}

TEST_F(KeyValueStoreTest, CrashAfterTheTemporaryFileWasWrittenLeavesTheOldFile) {
    const std::string path = Path(".settings");
    const std::string old = "A=1\nCREATED_TIME=then\n";
    WriteText(path, old);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        KeyValueStore kv(path.c_str());
        kv.Add("A", "2");
        store_io::g_before_rename = exit_now; // the process dies right before the rename
        kv.Save();
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the child did not stop before the rename";
    EXPECT_EQ(ReadText(path), old);
    // The complete new contents sit in a hidden temporary beside it.
    const auto names = store_test::Names(dir);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].rfind("..settings.tmp-", 0), 0u) << names[0];
    EXPECT_NE(ReadText(Path(names[0])).find("A=2\n"), std::string::npos);
    KeyValueStore again(path.c_str());
    EXPECT_STREQ(again["A"], "1");
}

TEST_F(KeyValueStoreTest, SaveKeepsTheFilePermissions) {
    const std::string path = Path("p");
    WriteText(path, "A=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    KeyValueStore kv(path.c_str());
    kv.Add("A", "2");
    ASSERT_TRUE(kv.Save());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

} // namespace
