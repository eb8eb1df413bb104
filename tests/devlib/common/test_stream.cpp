// The stream object over a scripted transport, and the file streams over real files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "aStream.h"

namespace {

// One step of scripted input: a byte, or an answer of the get-byte operation.
struct Step {
    bool isByte;
    uint8_t byte;
    aErr err;
};
Step B(char c) {
    return {true, static_cast<uint8_t>(c), aErrNone};
}
Step E(aErr e) {
    return {false, 0, e};
}

std::vector<Step> bytes(const std::string& s) {
    std::vector<Step> v;
    for (char c : s)
        v.push_back(B(c));
    return v;
}
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::vector<Step> operator+(std::vector<Step> a, Step b) {
    a.push_back(b);
    return a;
}

// A transport whose input is a script and whose output is recorded.
struct Script {
    std::deque<Step> in;
    aErr atEnd = aErrEOF;
    std::string out;
    int gets = 0, puts = 0, writes = 0, deletes = 0;
    aErr deleteResult = aErrNone;

    static aErr get(uint8_t* byte, void* ref) {
        auto* s = static_cast<Script*>(ref);
        ++s->gets;
        if (s->in.empty()) return s->atEnd;
        const Step step = s->in.front();
        s->in.pop_front();
        if (!step.isByte) return step.err;
        *byte = step.byte;
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) {
        auto* s = static_cast<Script*>(ref);
        ++s->puts;
        s->out.push_back(static_cast<char>(*byte));
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        auto* s = static_cast<Script*>(ref);
        ++s->writes;
        s->out.append(reinterpret_cast<const char*>(data), length);
        return aErrNone;
    }
    static aErr del(void* ref) {
        auto* s = static_cast<Script*>(ref);
        ++s->deletes;
        return s->deleteResult;
    }
};

class ScriptedStream : public ::testing::Test {
protected:
    void SetUp() override {
        stream = aStream_Create(Script::get, Script::put, Script::write, Script::del, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (stream != nullptr) aStream_Destroy(&stream);
    }
    void feed(const std::vector<Step>& steps) {
        script.in.insert(script.in.end(), steps.begin(), steps.end());
    }
    std::string read(size_t n, aErr expect = aErrNone) {
        std::string buf(n, '\0');
        EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buf.data()), n), expect);
        return buf;
    }

    Script script;
    aStream* stream = nullptr;
};

TEST_F(ScriptedStream, ZeroLengthReadCallsNothing) {
    uint8_t b = 0x5A;
    EXPECT_EQ(aStream_Read(stream, &b, 0), aErrNone);
    EXPECT_EQ(script.gets, 0);
    EXPECT_EQ(b, 0x5A);
}

TEST_F(ScriptedStream, NotReadyGivesBytesBackAndLeavesBufferUntouched) {
    feed(bytes("ab") + E(aErrNotReady) + bytes("cdef"));
    std::string buf(4, '#');
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buf.data()), 4), aErrNotReady);
    EXPECT_EQ(buf, "####");
    EXPECT_EQ(read(4), "abcd");
    EXPECT_EQ(read(2), "ef");
}

TEST_F(ScriptedStream, NotReadyRepeatedlyKeepsOrder) {
    // Each attempt gets one byte further before the transport runs dry again.
    feed(bytes("a") + E(aErrNotReady) + bytes("b") + E(aErrNotReady) + bytes("c") +
         E(aErrNotReady) + bytes("d"));
    std::string buf(4, '#');
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buf.data()), 4), aErrNotReady);
    EXPECT_EQ(buf, "####");
    EXPECT_EQ(read(4), "abcd");
}

TEST_F(ScriptedStream, EndOfInputStoresWhatArrivedAndOtherErrorsDropIt) {
    feed(bytes("xy") + E(aErrIO) + bytes("zw"));
    std::string buf(4, '#');
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buf.data()), 4), aErrIO);
    EXPECT_EQ(buf, "####");
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buf.data()), 4), aErrEOF);
    EXPECT_EQ(buf, "zw##");
}

TEST_F(ScriptedStream, LongReadUsesWorkingMemory) {
    std::string text;
    for (int i = 0; i < 300; ++i)
        text.push_back(static_cast<char>('A' + i % 26));
    feed(bytes(text.substr(0, 150)) + E(aErrNotReady) + bytes(text.substr(150)));
    std::string buf(300, '#');
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buf.data()), 300), aErrNotReady);
    EXPECT_EQ(buf, std::string(300, '#'));
    EXPECT_EQ(read(300), text);
}

// Given-back bytes come out first and in order, however often the ring grows or wraps.
TEST_F(ScriptedStream, PushbackRingKeepsOrderAcrossGrowthAndWrap) {
    struct Case {
        size_t wrapBy; // bytes given back and taken before, to move the ring's read position
        size_t count;  // bytes then given back at once
    };
    const Case cases[] = {{0, 1},     {0, 511},   {0, 512},    {0, 1023},  {0, 1500},
                          {300, 511}, {300, 700}, {511, 1024}, {200, 2000}};
    for (const Case& c : cases) {
        SCOPED_TRACE("wrapBy " + std::to_string(c.wrapBy) + " count " + std::to_string(c.count));
        aStream* s = aStream_Create(Script::get, nullptr, nullptr, nullptr, &script);
        ASSERT_NE(s, nullptr);
        script.in.clear();
        for (size_t i = 0; i < c.wrapBy; ++i)
            ASSERT_EQ(aStreamBufferChar(s, 0xEE), aErrNone);
        std::vector<uint8_t> sink(c.wrapBy + 1);
        ASSERT_EQ(aStream_Read(s, sink.data(), c.wrapBy), aErrNone);
        for (size_t i = 0; i < c.count; ++i)
            ASSERT_EQ(aStreamBufferChar(s, static_cast<uint8_t>(i * 7 + i / 256)), aErrNone);
        std::vector<uint8_t> got(c.count);
        ASSERT_EQ(aStream_Read(s, got.data(), c.count), aErrNone);
        for (size_t i = 0; i < c.count; ++i)
            ASSERT_EQ(got[i], static_cast<uint8_t>(i * 7 + i / 256)) << "at " << i;
        uint8_t extra;
        EXPECT_EQ(aStream_Read(s, &extra, 1), aErrEOF); // the ring is empty again
        aStream_Destroy(&s);
    }
}

struct RecordCase {
    const char* name;
    std::vector<Step> input;
    std::string terminator;
    size_t bufferSize;
    // Expected results of successive record reads: code and record.
    std::vector<std::pair<aErr, std::string>> reads;
};

// Keeps test listings (and so CTest's test names) to the case name.
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class RecordRead : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordRead, YieldsRecords) {
    const RecordCase& c = GetParam();
    Script script;
    script.in.assign(c.input.begin(), c.input.end());
    aStream* s = aStream_Create(Script::get, nullptr, nullptr, nullptr, &script);
    ASSERT_NE(s, nullptr);
    for (size_t i = 0; i < c.reads.size(); ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        std::string buf(c.bufferSize, '#');
        size_t length = 999;
        const aErr err = aStream_ReadRecord(
            s, reinterpret_cast<uint8_t*>(buf.data()), &length, c.bufferSize,
            reinterpret_cast<const uint8_t*>(c.terminator.data()), c.terminator.size());
        EXPECT_EQ(err, c.reads[i].first);
        if (err == aErrNone || err == aErrEOF) {
            EXPECT_EQ(buf.substr(0, length), c.reads[i].second);
            EXPECT_EQ(buf.substr(length), std::string(c.bufferSize - length, '#'));
        } else {
            EXPECT_EQ(length, 999u);
            EXPECT_EQ(buf, std::string(c.bufferSize, '#'));
        }
    }
    aStream_Destroy(&s);
}

const aErr kOK = aErrNone;
INSTANTIATE_TEST_SUITE_P(
    Cases, RecordRead,
    ::testing::Values(
        RecordCase{
            "LinesThenEnd", bytes("ab\ncd"), "\n", 16, {{kOK, "ab"}, {kOK, "cd"}, {aErrEOF, ""}}},
        RecordCase{"EmptyRecord", bytes("\n\nx\n"), "\n", 8, {{kOK, ""}, {kOK, ""}, {kOK, "x"}}},
        RecordCase{"FullBufferLeavesRestInStream",
                   bytes("abcdef\ngh\n"),
                   "\n",
                   4,
                   {{kOK, "abcd"}, {kOK, "ef"}, {kOK, "gh"}}},
        RecordCase{"ExactFitThenTerminator",
                   bytes("abcd\n"),
                   "\n",
                   4,
                   {{kOK, "abcd"}, {kOK, ""}, {aErrEOF, ""}}},
        RecordCase{"NotReadyMidRecordLosesNothing",
                   bytes("ab") + E(aErrNotReady) + bytes("c\nd"),
                   "\n",
                   8,
                   {{aErrNotReady, ""}, {kOK, "abc"}, {kOK, "d"}}},
        RecordCase{"OtherErrorDropsPartialRecord",
                   bytes("ab") + E(aErrIO) + bytes("c\n"),
                   "\n",
                   8,
                   {{aErrIO, ""}, {kOK, "c"}}},
        RecordCase{"TwoByteTerminator",
                   bytes("ab\r\ncd\r\n"),
                   "\r\n",
                   16,
                   {{kOK, "ab"}, {kOK, "cd"}, {aErrEOF, ""}}},
        RecordCase{"BrokenPartialTerminatorIsData",
                   bytes("a\rb\r\r\n"),
                   "\r\n",
                   16,
                   {{kOK, "a\rb\r"}, {aErrEOF, ""}}},
        RecordCase{"TerminatorStartsInsideBrokenMatch",
                   bytes("xaaab;"),
                   "aab",
                   16,
                   {{kOK, "xa"}, {kOK, ";"}}},
        RecordCase{"NotReadyInsideTerminator",
                   bytes("ab\r") + E(aErrNotReady) + bytes("\ncd"),
                   "\r\n",
                   16,
                   {{aErrNotReady, ""}, {kOK, "ab"}, {kOK, "cd"}}},
        RecordCase{"EndInsideTerminatorKeepsItAsData",
                   bytes("ab\r"),
                   "\r\n",
                   16,
                   {{kOK, "ab\r"}, {aErrEOF, ""}}},
        RecordCase{"FullBufferInsideBrokenMatchKeepsLookahead",
                   bytes("ab\rxy\r\n"),
                   "\r\n",
                   3,
                   {{kOK, "ab\r"}, {kOK, "xy"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScriptedStream, CStringReads) {
    feed(bytes("abcdef"));
    char buf[5];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(aStream_ReadCString(stream, buf, sizeof buf), aErrNone);
    EXPECT_EQ(std::string(buf, 5), std::string("abcd\0", 5));
    EXPECT_EQ(read(2), "ef");

    feed(bytes(std::string("hi\0there\0", 9)));
    char text[16];
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "hi");
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "there");

    feed(bytes("OK 12\r\nNEXT"));
    ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "OK 12");
    ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "NEXT");
    std::strcpy(text, "kept");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, "\r\n"), aErrEOF);
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, 1, "\r\n"), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, ""), aErrParam);
}

TEST_F(ScriptedStream, WritesUsePutForOneByteAndOneBlockOtherwise) {
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(aStream_Write(stream, data, 1), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 0);
    EXPECT_EQ(aStream_Write(stream, data, 3), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 1);
    EXPECT_EQ(aStream_Write(stream, data, 0), aErrNone);
    EXPECT_EQ(script.out, std::string("\x01\x01\x02\x03"));

    // Without a block operation every byte goes through put-byte; without put-byte even a
    // single byte goes out as a block.
    Script putOnly, writeOnly;
    aStream* p = aStream_Create(nullptr, Script::put, nullptr, nullptr, &putOnly);
    aStream* w = aStream_Create(nullptr, nullptr, Script::write, nullptr, &writeOnly);
    EXPECT_EQ(aStream_Write(p, data, 3), aErrNone);
    EXPECT_EQ(putOnly.puts, 3);
    EXPECT_EQ(aStream_Write(w, data, 1), aErrNone);
    EXPECT_EQ(writeOnly.writes, 1);
    aStream_Destroy(&p);
    aStream_Destroy(&w);
}

TEST_F(ScriptedStream, RecordAndStringWrites) {
    struct Case {
        std::string expect;
        aErr (*write)(aStream*);
    };
    const Case cases[] = {
        {std::string("ab\r\n\0", 5),
         [](aStream* s) { return aStream_WriteCStringRecord(s, "ab", "\r\n"); }},
        {std::string("hi\0", 3), [](aStream* s) { return aStream_WriteCString(s, "hi"); }},
        {std::string("\0", 1), [](aStream* s) { return aStream_WriteCString(s, ""); }},
        {"xyz;",
         [](aStream* s) {
             return aStream_WriteRecord(s, reinterpret_cast<const uint8_t*>("xyz"), 3,
                                        reinterpret_cast<const uint8_t*>(";"), 1);
         }},
        {";",
         [](aStream* s) {
             return aStream_WriteRecord(s, reinterpret_cast<const uint8_t*>(""), 0,
                                        reinterpret_cast<const uint8_t*>(";"), 1);
         }},
    };
    for (const Case& c : cases) {
        script.out.clear();
        EXPECT_EQ(c.write(stream), aErrNone);
        EXPECT_EQ(script.out, c.expect);
    }
    const uint8_t t = ';';
    EXPECT_EQ(aStream_WriteRecord(stream, &t, 1, &t, 0), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(stream, nullptr, 0, &t, 1), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(stream, &t, 1, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "a", nullptr), aErrParam);
}

TEST_F(ScriptedStream, FlushCopiesUntilEndAndStopsOnNotReady) {
    Script sink;
    aStream* out = aStream_Create(nullptr, Script::put, Script::write, nullptr, &sink);
    feed(bytes("abc"));
    ASSERT_EQ(aStreamBufferChar(stream, 'z'), aErrNone); // the input's ring is not consulted
    EXPECT_EQ(aStream_Flush(stream, out), aErrNone);
    EXPECT_EQ(sink.out, "abc");
    EXPECT_EQ(sink.puts, 3);

    feed(bytes("de") + E(aErrNotReady) + bytes("f"));
    EXPECT_EQ(aStream_Flush(stream, out), aErrNotReady);
    EXPECT_EQ(sink.out, "abcde");
    EXPECT_EQ(read(1), "z");

    EXPECT_EQ(aStream_Flush(out, stream), aErrMode); // out has no get-byte
    EXPECT_EQ(aStream_Flush(stream, nullptr), aErrParam);
    aStream_Destroy(&out);
}

TEST_F(ScriptedStream, MissingOperationsAndBadArguments) {
    uint8_t b = 0;
    size_t len = 0;
    aStream* none = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(aStream_Read(none, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Write(none, &b, 1), aErrMode);
    EXPECT_EQ(aStream_ReadRecord(none, &b, &len, 1, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&none), aErrNone); // no delete operation: nothing to run

    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, &b, &len, 1, &b, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, &b, &len, 0, &b, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, &b, &len, 1, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadCString(stream, reinterpret_cast<char*>(&b), 1), aErrParam);
    EXPECT_EQ(script.gets, 0);
}

TEST_F(ScriptedStream, DestroyRunsDeleteOnceAndClearsHandle) {
    script.deleteResult = aErrIO;
    aStream* copy = stream;
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO); // the delete's result, object freed anyway
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    (void)copy; // stale: not touched again
    EXPECT_EQ(script.deletes, 1);
}

class FileStreams : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/test_stream_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

TEST_F(FileStreams, WriteThenReadBack) {
    const std::string path = dir + "/data.txt";
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "first", "\n"), aErrNone);
    const uint8_t x = 'x';
    EXPECT_EQ(aStream_Write(out, &x, 1), aErrNone);
    EXPECT_EQ(aStream_WriteCString(out, "tail"), aErrNone);
    uint8_t b;
    EXPECT_EQ(aStream_Read(out, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    EXPECT_EQ(aStream_Write(in, &x, 1), aErrMode);
    char text[32];
    ASSERT_EQ(aStream_ReadCStringRecord(in, text, sizeof text, "\n"), aErrNone);
    EXPECT_STREQ(text, "first");
    uint8_t zero = 0xFF;
    ASSERT_EQ(aStream_Read(in, &zero, 1), aErrNone);
    EXPECT_EQ(zero, 0); // the terminator string's own zero byte
    ASSERT_EQ(aStream_ReadCString(in, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "xtail");
    EXPECT_EQ(aStream_Read(in, &b, 1), aErrEOF);

    // A copy of one file into another through two streams.
    aStream* again = nullptr;
    aStream* copy = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &again), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput((dir + "/copy").c_str(), &copy), aErrNone);
    EXPECT_EQ(aStream_Flush(again, copy), aErrNone);
    aStream_Destroy(&again);
    aStream_Destroy(&copy);
    aStream_Destroy(&in);
    std::FILE* f = std::fopen((dir + "/copy").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char whole[64] = {};
    const size_t n = std::fread(whole, 1, sizeof whole, f);
    std::fclose(f);
    EXPECT_EQ(std::string(whole, n), std::string("first\n\0xtail\0", 13));
}

TEST_F(FileStreams, OpenFailuresStoreNoStream) {
    struct Case {
        std::string path;
        bool output;
    };
    const Case cases[] = {
        {dir + "/missing", false}, {dir + "/no/such/dir/file", true}, {dir, true}, {"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        aStream* s = reinterpret_cast<aStream*>(0x1);
        const aErr err = c.output ? aStream_CreateFileOutput(c.path.c_str(), &s)
                                  : aStream_CreateFileInput(c.path.c_str(), &s);
        EXPECT_EQ(err, aErrResource);
        EXPECT_EQ(s, nullptr);
    }
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput((dir + "/x").c_str(), nullptr), aErrResource);
    EXPECT_FALSE(std::filesystem::exists(dir + "/x")); // nothing opened and left behind
}

} // namespace
