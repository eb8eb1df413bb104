// Error texts, path building, directories.
#include "BuildPath.h"
#include "aDirectory.h"
#include "aError.h"

#include "platform_fixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <pwd.h>

using namespace platform_test;

TEST(PlatformErrorText, NamesAndDescriptionsClampToUnknown) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
    EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText(UINT32_MAX), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(27), "Vorlixane command to short");
    EXPECT_STREQ(aError_GetErrorDescription(35), "Unknown error");
    EXPECT_STREQ(aError_GetErrorDescription(UINT32_MAX), "Unknown error");
}

TEST(PlatformBuildPath, AlwaysInsertsTheSeparatorAndStopsAtNull) {
    std::string home = "/home/u";
    EXPECT_EQ(BuildPath(home, ".quenlo", nullptr), "/home/u/.quenlo");
    EXPECT_EQ(BuildPath(BuildPath(home, ".quenlo"), "updater"), "/home/u/.quenlo/updater");
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("a", "/b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("", "b", nullptr), "/b");
    EXPECT_EQ(BuildPath("a", "", "c", nullptr), "a//c");
    EXPECT_EQ(BuildPath("a", nullptr, "c"), "a");
    EXPECT_EQ(BuildPath("a", static_cast<const char*>(nullptr), "c"), "a");
    EXPECT_EQ(BuildPath("only"), "only");
    std::string longPart(5000, 'x');
    EXPECT_EQ(BuildPath(longPart, std::string_view("y"), longPart).size(), 10003u);
}

namespace {

struct BuildCase {
    const char* name;
    size_t size;
    std::vector<const char*> parts; // the first part, then the further ones
    aErr result;
    const char* built;
};

aErr CallBuild(char* buffer, size_t size, const std::vector<const char*>& p) {
    // Pad with nulls: the list ends at the first one.
    const char* a[12] = {};
    for (size_t i = 0; i < p.size() && i < 12; ++i)
        a[i] = p[i];
    return aDirectory_BuildPath(buffer, size, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                                a[9], a[10], a[11], static_cast<const char*>(nullptr));
}

} // namespace

TEST(PlatformDirectoryBuildPath, JoinsLimitsAndOverruns) {
    const BuildCase cases[] = {
        {"plain", 64, {"a", "b"}, aErrNone, "a/b"},
        {"first ends with sep", 64, {"a/", "b"}, aErrNone, "a/b"},
        {"second begins with sep", 64, {"a", "/b"}, aErrNone, "a/b"},
        {"both keep their seps", 64, {"a/", "/b"}, aErrNone, "a//b"},
        {"three parts", 64, {"usr", "local", "bin"}, aErrNone, "usr/local/bin"},
        {"absolute", 64, {"/", "etc"}, aErrNone, "/etc"},
        {"empty first stays relative", 64, {"", "b"}, aErrNone, "b"},
        {"first alone", 64, {"abc"}, aErrNone, "abc"},
        {"ten parts",
         64,
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
         aErrNone,
         "0/1/2/3/4/5/6/7/8/9"},
        {"eleven parts",
         64,
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"},
         aErrParam,
         ""},
        {"first of size-2 fits", 8, {"abcdef"}, aErrNone, "abcdef"},
        {"first of size-1 overruns", 8, {"abcdefg"}, aErrOverrun, ""},
        {"exact fit with separator", 8, {"abc", "de"}, aErrNone, "abc/de"},
        {"part one too long", 8, {"abc", "def"}, aErrOverrun, "abc/"},
        {"room for the separator only", 8, {"abcde", "f"}, aErrOverrun, "abcde/"},
        {"empty part in the last byte", 8, {"abcdef", ""}, aErrNone, "abcdef"},
        {"later part overruns", 8, {"a", "b", "cdefgh"}, aErrOverrun, "a/b/"},
        {"size zero", 0, {"a"}, aErrOverrun, nullptr},
        {"null first", 64, {nullptr}, aErrParam, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> buffer(c.size + 1, '#'); // one guard byte past the size
        aErr err = CallBuild(buffer.data(), c.size, c.parts);
        EXPECT_EQ(err, c.result);
        if (c.built) {
            EXPECT_STREQ(buffer.data(), c.built);
        }
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer";
    }
}

TEST(PlatformDirectoryBuildPath, RefusesToBuildIntoAPart) {
    char buffer[32] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), aErrParam);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer + 1, nullptr), aErrParam);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "x", nullptr), aErrParam);

    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "dir/", "file"), aErrNone);
    EXPECT_STREQ(buffer, "dir/file");
    EXPECT_EQ(aDirectory_JoinPath(buffer, 6, "dir", "file"), aErrOverrun);
    EXPECT_STREQ(buffer, "dir/");
    // One byte of room left: no separator is put in, and the part does not fit either.
    EXPECT_EQ(aDirectory_JoinPath(buffer, 5, "dir", "file"), aErrOverrun);
    EXPECT_STREQ(buffer, "dir");
}

class PlatformDirectory : public ScratchDir {};

namespace {
mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
} // namespace

TEST_F(PlatformDirectory, EnsureCreatesEveryMissingLevel) {
    ASSERT_EQ(chdir(dir.c_str()), 0);
    mkdir(Path("have").c_str(), 0755);
    struct Case {
        std::string path;  // as given to Ensure
        std::string check; // a directory that must exist afterwards
    };
    const Case cases[] = {
        {"rel/one/two/three", Path("rel/one/two/three")},
        {Path("abs/a/b/c/d/e"), Path("abs/a/b/c/d/e")},
        {Path("have/x/y"), Path("have/x/y")},
        {"dbl//sep///inside", Path("dbl/sep/inside")},
        {"trail/ing/", Path("trail/ing")},
        {"./dot/../dotdot", Path("dotdot")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(aDirectory_Exists(c.check.c_str()));
        EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), 0750), aErrNone);
        EXPECT_TRUE(aDirectory_Exists(c.check.c_str()));
        EXPECT_TRUE(aDirectory_Exists(c.path.c_str()));
    }
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(ModeOf(Path("rel/one")), 0750 & ~mask);
    EXPECT_EQ(ModeOf(Path("rel/one/two/three")), 0750 & ~mask);
}

TEST_F(PlatformDirectory, EnsureOfAnExistingDirectoryTouchesNothing) {
    std::string d = Path("keep");
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    ASSERT_EQ(chmod(d.c_str(), 0711), 0);
    EXPECT_EQ(aDirectory_Ensure(d.c_str(), 0755), aErrNone);
    EXPECT_EQ(ModeOf(d), 0711u);
}

TEST_F(PlatformDirectory, EnsureFailsWhenAFileIsInTheWay) {
    WriteAll(Path("file"), "x");
    EXPECT_EQ(aDirectory_Ensure(Path("file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(Path("file/below/deeper").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

TEST_F(PlatformDirectory, EnsureFailsWithoutWriteAccess) {
    std::string locked = Path("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
    chmod(locked.c_str(), 0555);
    auto r = RunUnprivileged(
        dir, [&] { return static_cast<int>(aDirectory_Ensure((locked + "/a/b").c_str(), 0755)); });
    EXPECT_EQ(r.status, static_cast<int>(aErrPermission));
    EXPECT_FALSE(aDirectory_Exists((locked + "/a").c_str()));
}

namespace {
struct Listed {
    std::map<std::string, std::pair<uint32_t, uint32_t>> entries; // name -> (size, isDir)
    int calls = 0;
    int stopAfter = -1;
};

bool Collect(const aDirectoryListData* d, void* ref) {
    auto* l = static_cast<Listed*>(ref);
    ++l->calls;
    std::string path = d->path;
    l->entries[path.substr(path.rfind('/') + 1)] = {d->size, d->isDirectory};
    return l->calls != l->stopAfter;
}
} // namespace

TEST_F(PlatformDirectory, ListReportsEveryEntryWithFullPath) {
    WriteAll(Path("five"), "12345");
    mkdir(Path("sub").c_str(), 0755);
    ASSERT_EQ(symlink("missing-target", Path("dangling").c_str()), 0);
    Listed l;
    std::string withSep = dir + "/";
    ASSERT_EQ(aDirectory_List(withSep.c_str(), Collect, &l), aErrNone);
    EXPECT_EQ(l.calls, 4) << "., .., five, sub; the dangling link fails stat";
    ASSERT_EQ(l.entries.count("five"), 1u);
    EXPECT_EQ(l.entries["five"], std::make_pair(5u, 0u));
    EXPECT_EQ(l.entries["sub"].second, 1u);
    EXPECT_EQ(l.entries["."].second, 1u);
    EXPECT_EQ(l.entries[".."].second, 1u);
    EXPECT_EQ(l.entries.count("dangling"), 0u);
}

TEST_F(PlatformDirectory, ListFullPathJoinsWithOneSeparator) {
    WriteAll(Path("f"), "");
    struct P {
        static bool Check(const aDirectoryListData* d, void* ref) {
            auto* want = static_cast<std::string*>(ref);
            if (std::string(d->path).find("/f") != std::string::npos) *want = d->path;
            return true;
        }
    };
    std::string seen;
    ASSERT_EQ(aDirectory_List(dir.c_str(), P::Check, &seen), aErrNone);
    EXPECT_EQ(seen, Path("f"));
}

TEST_F(PlatformDirectory, ListStopsEarlyAndReportsMissing) {
    for (const char* name : {"f0", "f1", "f2", "f3", "f4"})
        WriteAll(Path(name), "");
    Listed l;
    l.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(dir.c_str(), Collect, &l), aErrNone);
    EXPECT_EQ(l.calls, 1);
    Listed none;
    EXPECT_EQ(aDirectory_List(Path("nope").c_str(), Collect, &none), aErrNotFound);
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(aDirectory_List(dir.c_str(), nullptr, nullptr), aErrParam);
}

TEST_F(PlatformDirectory, DeleteRemovesOnlyEmptyDirectories) {
    mkdir(Path("empty").c_str(), 0755);
    mkdir(Path("full").c_str(), 0755);
    WriteAll(Path("full/x"), "x");
    EXPECT_EQ(aDirectory_Delete(Path("empty").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(Path("empty").c_str()));
    EXPECT_EQ(aDirectory_Delete(Path("full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(Path("missing").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(nullptr), aErrUnknown);
}

TEST_F(PlatformDirectory, DeleteTreeRemovesEverythingBelowButNotThroughLinks) {
    ASSERT_EQ(aDirectory_Ensure(Path("tree/a/b/c").c_str(), 0755), aErrNone);
    ASSERT_EQ(aDirectory_Ensure(Path("outside/keep").c_str(), 0755), aErrNone);
    WriteAll(Path("outside/keep/precious"), "data");
    WriteAll(Path("tree/top"), "1");
    WriteAll(Path("tree/a/mid"), "2");
    WriteAll(Path("tree/a/b/c/deep"), "3");
    ASSERT_EQ(symlink(Path("outside").c_str(), Path("tree/a/link-to-dir").c_str()), 0);
    ASSERT_EQ(symlink(Path("outside/keep/precious").c_str(), Path("tree/link-to-file").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(Path("tree").c_str()), aErrNone);
    EXPECT_FALSE(std::filesystem::exists(Path("tree")));
    EXPECT_EQ(ReadAll(Path("outside/keep/precious")), "data");

    EXPECT_EQ(aDirectory_DeleteTree(Path("tree").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_DeleteTree(Path("outside/keep/precious").c_str()), aErrNotFound);
}

TEST_F(PlatformDirectory, DeleteTreeStopsAndReportsAFileItCannotUnlink) {
    ASSERT_EQ(aDirectory_Ensure(Path("tree/locked").c_str(), 0755), aErrNone);
    WriteAll(Path("tree/locked/stuck"), "x");
    GiveAway(Path("tree"));
    chmod(Path("tree/locked").c_str(), 0555);
    std::string tree = Path("tree");
    auto r =
        RunUnprivileged(dir, [&] { return static_cast<int>(aDirectory_DeleteTree(tree.c_str())); });
    EXPECT_EQ(r.status, static_cast<int>(aErrUnknown));
    EXPECT_EQ(r.out, "---error unlink-ing file [" + Path("tree/locked/stuck") + "]\n");
    EXPECT_EQ(r.err.rfind("aDirectory_DeleteTree: ", 0), 0u) << r.err;
    EXPECT_TRUE(std::filesystem::exists(Path("tree/locked/stuck")));
}

TEST_F(PlatformDirectory, WorkingDirectoryAndExecutable) {
    ASSERT_EQ(chdir(dir.c_str()), 0);
    char buffer[4096];
    ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(std::filesystem::canonical(buffer), std::filesystem::canonical(dir));
    EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);
    EXPECT_EQ(aDirectory_CWD(nullptr, 0), aErrParam);

    std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(buffer, exe);
    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone);
    EXPECT_EQ(buffer, exe.substr(0, 4));
}

TEST(PlatformDirectoryHome, ComesFromThePasswordDatabaseTruncatedToTheBuffer) {
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    std::string home = pw->pw_dir;
    char buffer[2048];
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(buffer, home);
    char tiny[4] = "###";
    ASSERT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrNone);
    EXPECT_EQ(std::string(tiny), home.substr(0, 3));
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 16), aErrParam);
}
