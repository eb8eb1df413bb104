// Files: open refusals and modes, reading, writing, seeking, lines, deleting.
#include "aFile.h"

#include "platform_fixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace platform_test;

class PlatformFile : public ScratchDir {
protected:
    // Opens path with mode; the handle is closed at the end of the test.
    aFileHandle Open(const std::string& path, aFileMode mode) {
        aFileHandle f = aFile_Open(path.c_str(), mode);
        if (f) open.push_back(f);
        return f;
    }
    aFileHandle OpenWith(const std::string& text) {
        WriteAll(Path("data"), text);
        return Open(Path("data"), aFileModeRead);
    }
    void TearDown() override {
        for (auto& f : open)
            if (f) aFile_Close(&f);
        ScratchDir::TearDown();
    }
    int64_t Position(aFileHandle f) {
        int64_t pos = -1;
        EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
        return pos;
    }
    std::vector<aFileHandle> open;
};

TEST_F(PlatformFile, OpenRefusesBadPathsAndModes) {
    WriteAll(Path("exists"), "x");
    mkdir(Path("folder").c_str(), 0755);
    std::string tooLong = dir + "/" + std::string(aFILE_MAX_PATH + 1 - dir.size() - 1, 'n');
    ASSERT_EQ(tooLong.size(), 4097u);
    const std::string exists = Path("exists"), missing = Path("missing"), folder = Path("folder"),
                      orphan = Path("no/such");
    struct Case {
        const char* name;
        const char* path;
        aFileMode mode;
    } const cases[] = {
        {"null path", nullptr, aFileModeRead},
        {"empty path", "", aFileModeRead},
        {"4097 characters", tooLong.c_str(), aFileModeWrite},
        {"unknown mode", exists.c_str(), aFileModeUnknown},
        {"mode beyond the known ones", exists.c_str(), 7},
        {"missing file for reading", missing.c_str(), aFileModeRead},
        {"folder for writing", folder.c_str(), aFileModeWrite},
        {"missing parent", orphan.c_str(), aFileModeAppend},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aFileHandle f = aFile_Open(c.path, c.mode);
        EXPECT_EQ(f, nullptr);
        if (f) aFile_Close(&f);
    }
    EXPECT_NE(Open(exists, aFileModeRead), nullptr);
}

TEST_F(PlatformFile, ExistsOnlyForNonDirectories) {
    WriteAll(Path("f"), "");
    mkdir(Path("d").c_str(), 0755);
    EXPECT_TRUE(aFile_Exists(Path("f").c_str()));
    EXPECT_FALSE(aFile_Exists(Path("d").c_str()));
    EXPECT_FALSE(aFile_Exists(Path("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(std::string(4097, 'a').c_str()));
}

TEST_F(PlatformFile, WriteTruncatesAppendCreatesAndStartsAtTheEnd) {
    WriteAll(Path("w"), "old contents");
    aFileHandle w = Open(Path("w"), aFileModeWrite);
    ASSERT_NE(w, nullptr);
    uint64_t n = 0;
    EXPECT_EQ(aFile_Write(w, "new", 3, &n), aErrNone);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(aFile_Printf(w, "-%d-%s", 42, "x"), aErrNone);
    EXPECT_EQ(aFile_Close(&open.back()), aErrNone);
    EXPECT_EQ(ReadAll(Path("w")), "new-42-x");

    aFileHandle a = Open(Path("created"), aFileModeAppend);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(aFile_Exists(Path("created").c_str()));
    EXPECT_EQ(Position(a), 0);
    EXPECT_EQ(aFile_Close(&open.back()), aErrNone);

    WriteAll(Path("log"), "abc");
    a = Open(Path("log"), aFileModeAppend);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Position(a), 3);
    EXPECT_EQ(aFile_Write(a, "de", 2, nullptr), aErrNone);
    // Append mode also reads: back to the start, across the write.
    ASSERT_EQ(aFile_Seek(a, 0, aSeekStart), aErrNone);
    char buffer[16] = {};
    EXPECT_EQ(aFile_Read(a, buffer, sizeof buffer, &n), aErrNone);
    EXPECT_EQ(std::string(buffer, n), "abcde");
    EXPECT_EQ(aFile_Write(a, "f", 1, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&open.back()), aErrNone);
    EXPECT_EQ(ReadAll(Path("log")), "abcdef");
}

TEST_F(PlatformFile, OperationsCheckModeAndHandle) {
    WriteAll(Path("f"), "text\n");
    aFileHandle r = Open(Path("f"), aFileModeRead);
    aFileHandle w = Open(Path("g"), aFileModeWrite);
    ASSERT_TRUE(r && w);
    char buffer[8];
    uint64_t n;
    EXPECT_EQ(aFile_Write(r, "x", 1, &n), aErrMode);
    EXPECT_EQ(aFile_Printf(r, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
    EXPECT_EQ(aFile_Read(w, buffer, 1, &n), aErrMode);
    EXPECT_EQ(aFile_ReadLine(w, buffer, sizeof buffer, &n), aErrMode);
    EXPECT_EQ(aFile_Read(r, nullptr, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Write(w, nullptr, 1, &n), aErrParam);

    // A record whose check word is not set, and a null handle, are refused everywhere.
    alignas(16) unsigned char zeros[64] = {};
    for (aFileHandle bad :
         {static_cast<aFileHandle>(nullptr), reinterpret_cast<aFileHandle>(zeros)}) {
        int64_t pos;
        uint64_t size;
        EXPECT_EQ(aFile_Read(bad, buffer, 1, &n), aErrParam);
        EXPECT_EQ(aFile_Write(bad, "x", 1, &n), aErrParam);
        EXPECT_EQ(aFile_Seek(bad, 0, aSeekStart), aErrParam);
        EXPECT_EQ(aFile_GetSize(bad, &size), aErrParam);
        EXPECT_EQ(aFile_ReadLine(bad, buffer, sizeof buffer, &n), aErrParam);
        EXPECT_EQ(aFile_SetUnbuffered(bad), aErrParam);
        EXPECT_EQ(aFile_GetPosition(bad, &pos), aErrParam);
        EXPECT_EQ(aFile_Printf(bad, "x"), aErrParam);
        aFileHandle copy = bad;
        EXPECT_EQ(aFile_Close(&copy), aErrParam);
        EXPECT_EQ(copy, nullptr);
    }
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    EXPECT_EQ(aFile_Close(&open.front()), aErrNone);
    EXPECT_EQ(open.front(), nullptr);
    EXPECT_EQ(aFile_Close(&open.front()), aErrParam);
}

TEST_F(PlatformFile, ReadAtTheEndAndShortReads) {
    aFileHandle f = OpenWith("0123456789");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Position(f), 0);
    char buffer[16];
    uint64_t n = 99;
    EXPECT_EQ(aFile_Read(f, buffer, 4, &n), aErrNone);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrNone) << "a short read is success";
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    n = 99;
    EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Read(f, buffer, 0, &n), aErrNone);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Read(f, buffer, 10, nullptr), aErrEOF);
}

TEST_F(PlatformFile, ReadSeesDataAppendedAfterTheEnd) {
    aFileHandle f = OpenWith("ab");
    char buffer[8];
    uint64_t n;
    EXPECT_EQ(aFile_Read(f, buffer, 8, &n), aErrNone);
    EXPECT_EQ(aFile_Read(f, buffer, 8, &n), aErrEOF);
    std::ofstream(Path("data"), std::ios::app) << "cd";
    EXPECT_EQ(aFile_Read(f, buffer, 8, &n), aErrNone);
    EXPECT_EQ(std::string(buffer, n), "cd");
}

TEST_F(PlatformFile, SeekBounds) {
    struct Case {
        int64_t offset;
        aFileSeekOrigin origin;
        aErr result;
        int64_t position; // afterwards; the start position is 4
    } const cases[] = {
        {10, aSeekStart, aErrNone, 10},
        {0, aSeekStart, aErrNone, 0},
        {11, aSeekStart, aErrRange, 4},
        {-1, aSeekStart, aErrRange, 4},
        {6, aSeekCurrent, aErrNone, 10},
        {-4, aSeekCurrent, aErrNone, 0},
        {7, aSeekCurrent, aErrRange, 4},
        {-5, aSeekCurrent, aErrRange, 4},
        {0, aSeekEnd, aErrNone, 10},
        {-10, aSeekEnd, aErrNone, 0},
        {1, aSeekEnd, aErrRange, 4},
        {-11, aSeekEnd, aErrRange, 4},
        {3, 7, aErrNone, 3}, // any other origin counts from the start
        {INT64_MAX, aSeekCurrent, aErrRange, 4},
        {INT64_MIN, aSeekEnd, aErrRange, 4},
    };
    aFileHandle f = OpenWith("0123456789");
    ASSERT_NE(f, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from " << c.origin);
        ASSERT_EQ(aFile_Seek(f, 4, aSeekStart), aErrNone);
        EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.result);
        EXPECT_EQ(Position(f), c.position);
    }
    // Reading goes on from where the seek put it.
    ASSERT_EQ(aFile_Seek(f, -3, aSeekEnd), aErrNone);
    char buffer[8];
    uint64_t n;
    EXPECT_EQ(aFile_Read(f, buffer, 8, &n), aErrNone);
    EXPECT_EQ(std::string(buffer, n), "789");
}

TEST_F(PlatformFile, SizeKeepsThePositionAndCountsUnflushedWrites) {
    aFileHandle f = OpenWith("0123456789");
    ASSERT_EQ(aFile_Seek(f, 3, aSeekStart), aErrNone);
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Position(f), 3);
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);

    aFileHandle w = Open(Path("w"), aFileModeWrite);
    ASSERT_EQ(aFile_Write(w, "12345", 5, nullptr), aErrNone);
    EXPECT_EQ(aFile_GetSize(w, &size), aErrNone);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(aFile_Seek(w, 5, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(w, 6, aSeekStart), aErrRange) << "no holes past the end";
}

TEST_F(PlatformFile, ReadLineExactFitAndOverrun) {
    struct Step {
        aErr result;
        std::string text;
    };
    struct Case {
        const char* name;
        std::string contents;
        size_t size;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"7 characters and newline in 8 bytes",
         "abcdefg\nnext\n",
         8,
         {{aErrOverrun, "abcdefg"}, {aErrNone, "\n"}, {aErrNone, "next\n"}, {aErrEOF, ""}}},
        {"6 characters and newline fit exactly",
         "abcdef\n",
         8,
         {{aErrNone, "abcdef\n"}, {aErrEOF, ""}}},
        {"long line in pieces",
         "0123456789abcdef\n",
         6,
         {{aErrOverrun, "01234"},
          {aErrOverrun, "56789"},
          {aErrOverrun, "abcde"},
          {aErrNone, "f\n"},
          {aErrEOF, ""}}},
        {"last line without newline",
         "one\ntwo",
         8,
         {{aErrNone, "one\n"}, {aErrNone, "two"}, {aErrEOF, ""}}},
        {"last line filling the buffer is complete",
         "abcdefg",
         8,
         {{aErrNone, "abcdefg"}, {aErrEOF, ""}}},
        {"empty lines",
         "\n\nx\n",
         8,
         {{aErrNone, "\n"}, {aErrNone, "\n"}, {aErrNone, "x\n"}, {aErrEOF, ""}}},
        {"empty file", "", 8, {{aErrEOF, ""}}},
        {"NUL inside a line",
         std::string("a\0b\n", 4),
         8,
         {{aErrNone, std::string("a\0b\n", 4)}, {aErrEOF, ""}}},
        {"CRLF kept", "r\r\n", 8, {{aErrNone, "r\r\n"}, {aErrEOF, ""}}},
        {"one-byte buffer", "a", 1, {{aErrOverrun, ""}}},
        {"one-byte buffer at the end", "", 1, {{aErrEOF, ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aFileHandle f = OpenWith(c.contents);
        ASSERT_NE(f, nullptr);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            std::vector<char> buffer(c.size + 1, '#');
            uint64_t length = 99;
            EXPECT_EQ(aFile_ReadLine(f, buffer.data(), c.size, &length), c.steps[i].result);
            EXPECT_EQ(std::string(buffer.data(), length), c.steps[i].text);
            EXPECT_EQ(buffer[length], '\0');
            EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer";
        }
        aFile_Close(&open.back());
    }
}

TEST_F(PlatformFile, ReadLineAfterReadAndSeek) {
    aFileHandle f = OpenWith("head\nbody\n");
    char buffer[32];
    uint64_t n;
    ASSERT_EQ(aFile_Read(f, buffer, 2, &n), aErrNone);
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &n), aErrNone);
    EXPECT_STREQ(buffer, "ad\n");
    ASSERT_EQ(aFile_Seek(f, 0, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &n), aErrNone);
    EXPECT_STREQ(buffer, "head\n");
    EXPECT_EQ(aFile_ReadLine(f, buffer, 0, &n), aErrParam);
    EXPECT_EQ(aFile_ReadLine(f, nullptr, 8, &n), aErrParam);
}

TEST_F(PlatformFile, UnbufferedWritesReachTheFileAtOnce) {
    aFileHandle f = Open(Path("u"), aFileModeAppend);
    ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
    ASSERT_EQ(aFile_Printf(f, "line %u\n", 1u), aErrNone);
    EXPECT_EQ(ReadAll(Path("u")), "line 1\n");
    ASSERT_EQ(aFile_Write(f, "raw", 3, nullptr), aErrNone);
    EXPECT_EQ(ReadAll(Path("u")), "line 1\nraw");
}

TEST_F(PlatformFile, WriteFailuresAreReported) {
    if (!aFile_Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Buffered: the loss shows when the data is flushed at close.
    aFileHandle f = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Write(f, "data", 4, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrIO);
    EXPECT_EQ(f, nullptr);
    // Unbuffered: at once.
    f = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
    uint64_t n = 99;
    EXPECT_EQ(aFile_Write(f, "data", 4, &n), aErrIO);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Printf(f, "%s", "data"), aErrIO);
    aFile_Close(&f);
}

TEST_F(PlatformFile, DeleteResults) {
    WriteAll(Path("gone"), "x");
    mkdir(Path("folder").c_str(), 0755);
    EXPECT_EQ(aFile_Delete(Path("gone").c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(Path("gone").c_str()));
    EXPECT_EQ(aFile_Delete(Path("gone").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(std::string(4097, 'a').c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(Path("folder").c_str()), aErrIO);

    std::string locked = Path("locked");
    mkdir(locked.c_str(), 0755);
    WriteAll(locked + "/f", "x");
    chmod(locked.c_str(), 0555);
    auto r = RunUnprivileged(
        dir, [&] { return static_cast<int>(aFile_Delete((locked + "/f").c_str())); });
    EXPECT_EQ(r.status, static_cast<int>(aErrPermission));
}
