#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Log.h"
#include "capture.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

std::string bar(const std::string& label, int filled, int blanks, const char* percent) {
    std::string line = "\r";
    if (!label.empty()) line += " (" + label + ") ";
    line +=
        "[" + std::string(filled, '=') + ">" + std::string(blanks, ' ') + "] (" + percent + "% ) ";
    return line;
}

const std::string kErase = "\r" + std::string(88, ' ') + "\r";

TEST(CliDisplay, MessagesGoToTheirStreamWithOneNewline) {
    CLI_Display display;
    Capture out(STDOUT_FILENO, Capture::File);
    Capture err(STDERR_FILENO, Capture::File);
    display.message(Level::INFO, "info %d", 1);
    display.message(Level::ERROR, "error %s", "two");
    display.message(static_cast<Level>(7), "other level"); // anything but ERROR is information
    display.message(Level::INFO, "%s", "");
    std::string errors = err.Take();
    EXPECT_EQ(out.Take(), "info 1\nother level\n\n");
    EXPECT_EQ(errors, "error two\n");
}

TEST(CliDisplay, LongMessageIsCutTo2047Characters) {
    CLI_Display display;
    Capture out(STDOUT_FILENO, Capture::File);
    std::string text(5000, 'x');
    display.message(Level::INFO, "%s", text.c_str());
    EXPECT_EQ(out.Take(), std::string(2047, 'x') + "\n");
}

TEST(CliDisplay, MutedMessagesWriteNothingButTheSpinnerStillDraws) {
    CLI_Display display;
    display.mute_messages(true);
    Capture err(STDERR_FILENO, Capture::File);
    Capture term(STDOUT_FILENO, Capture::Terminal);
    display.message(Level::INFO, "hidden");
    display.message(Level::ERROR, "hidden");
    display.update_spinner(true, nullptr);
    display.update_spinner(false, nullptr);
    std::string drawn = term.Take();
    EXPECT_EQ(err.Take(), "");
    ASSERT_EQ(drawn.rfind(kErase), drawn.size() - kErase.size()) << drawn;
    EXPECT_EQ(drawn.find("hidden"), std::string::npos);
    EXPECT_EQ(drawn.substr(0, 2), "\r ");
    display.mute_messages(false);
    Capture out(STDOUT_FILENO, Capture::File);
    display.message(Level::INFO, "shown");
    EXPECT_EQ(out.Take(), "shown\n");
}

TEST(CliDisplay, ProgressBarOnATerminal) {
    const std::string label66(66, 'L'); // leaves no room for a bar
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    } cases[] = {
        {0.5, nullptr, bar("", 34, 34, " 50")},
        {0.0, nullptr, bar("", 0, 68, "  0")},
        {0.999, nullptr, bar("", 68, 0, " 99")},
        {1.0, nullptr, bar("", 69, 1, "100")}, // field width -1 still prints one blank
        {0.5, "dl", bar("dl", 31, 31, " 50")},
        {1.0, label66.c_str(), bar(label66, 0, 1, "100")},
        // Out-of-range fractions are held to the ends of the bar.
        {-0.25, nullptr, bar("", 0, 68, "  0")},
        {7.5, nullptr, bar("", 69, 1, "100")},
        {std::nan(""), nullptr, bar("", 0, 68, "  0")},
    };
    CLI_Display display;
    for (const Case& c : cases) {
        Capture term(STDOUT_FILENO, Capture::Terminal);
        display.update_progress(c.fraction, c.label);
        EXPECT_EQ(term.Take(), c.expected) << "fraction " << c.fraction;
    }
    Capture term(STDOUT_FILENO, Capture::Terminal);
    display.display_progress(true);
    display.display_progress(false);
    EXPECT_EQ(term.Take(), kErase);
}

TEST(CliDisplay, SpinnerCyclesThroughEightFrames) {
    const std::vector<std::string> frames = {".",     "..",   "...", "....",
                                             ".....", "....", "...", ".."};
    CLI_Display display;
    // The frame counter is process-wide: find where this test starts from.
    std::vector<std::string> drawn;
    for (int i = 0; i < 10; ++i) {
        Capture term(STDOUT_FILENO, Capture::Terminal);
        display.update_spinner(true, i % 2 ? "Downloading" : nullptr);
        drawn.push_back(term.Take());
    }
    size_t start = frames.size();
    for (size_t s = 0; s < frames.size() && start == frames.size(); ++s)
        if (drawn[0] == "\r " + frames[s] + "      \r" &&
            drawn[1] == "\r (Downloading) " + frames[(s + 1) % 8] + "      \r")
            start = s;
    ASSERT_LT(start, frames.size()) << drawn[0];
    for (size_t i = 0; i < drawn.size(); ++i) {
        const std::string& frame = frames[(start + i) % 8];
        std::string expected =
            i % 2 ? "\r (Downloading) " + frame + "      \r" : "\r " + frame + "      \r";
        EXPECT_EQ(drawn[i], expected) << "call " << i;
    }
    Capture term(STDOUT_FILENO, Capture::Terminal);
    display.update_spinner(false, "Downloading");
    EXPECT_EQ(term.Take(), kErase);
}

TEST(CliDisplay, RedirectedOutputCarriesMessagesOnly) {
    CLI_Display display;
    Capture out(STDOUT_FILENO, Capture::File);
    display.display_progress(true);
    display.message(Level::INFO, "Transferring loader to device");
    for (double f = 0; f <= 1.0; f += 0.25)
        display.update_progress(f, nullptr);
    display.update_progress(0.5, "label");
    display.display_progress(false);
    for (int i = 0; i < 9; ++i)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    display.message(Level::INFO, "Update time: %.4f sec", 1.5);
    std::string text = out.Take();
    EXPECT_EQ(text, "Transferring loader to device\nUpdate time: 1.5000 sec\n");
    EXPECT_EQ(text.find_first_of("\r\x1b"), std::string::npos);
}

// Log keeps process-wide state; every case starts from an empty mask and no output.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::SetOutput(nullptr);
    }
    static std::string read_all(FILE* f) {
        fflush(f);
        rewind(f);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        return text;
    }
};

TEST_F(LogTest, PackageMask) {
    struct Case {
        uint32_t mask;
        unsigned package;
        bool written;
    } cases[] = {
        {0, 0, true}, // package 0 ignores the mask
        {0xFFFFFFFF, 0, true},
        {0, DEBUG_Network_FIRM, false},
        {0x400, DEBUG_Network_FIRM, true},
        {0x401, DEBUG_Network_FIRM, true},
        {DEBUG_APP, DEBUG_Network_FIRM, false},
        {DEBUG_Updater, DEBUG_Updater | DEBUG_APP, true}, // one shared bit is enough
        {0xFFFFFFFF, DEBUG_iMXSerial, true},
        {0x0FFFFFFF, DEBUG_iMXSerial, false},
    };
    for (const Case& c : cases) {
        FILE* f = tmpfile();
        ASSERT_NE(f, nullptr);
        reset();
        Log::SetOutput(f);
        Log::ActivatePackage(c.mask);
        Log::log(c.package, "line %u\n", c.package);
        EXPECT_EQ(read_all(f), c.written ? "line " + std::to_string(c.package) + "\n" : "")
            << std::hex << "mask " << c.mask << " package " << c.package;
        fclose(f);
    }
}

TEST_F(LogTest, ActivateAndDeactivateCombineBits) {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    Log::SetOutput(f);
    Log::ActivatePackage(DEBUG_Updater | DEBUG_Attributes);
    Log::ActivatePackage(DEBUG_APP);
    Log::DeactivatePackage(DEBUG_Updater);
    EXPECT_EQ(Log::package_bitmask, uint32_t(DEBUG_Attributes | DEBUG_APP));
    Log::log(DEBUG_Updater, "updater\n");
    Log::log(DEBUG_Attributes, "attributes\n");
    Log::log(DEBUG_APP, "app\n");
    EXPECT_EQ(read_all(f), "attributes\napp\n");
    fclose(f);
}

TEST_F(LogTest, NothingIsWrittenBeforeAnOutputIsSet) {
    Log::log(0, "lost\n");
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    Log::SetOutput(f);
    Log::log(0, "kept %s", "without newline");
    EXPECT_EQ(read_all(f), "kept without newline");
    fclose(f);
}

TEST_F(LogTest, LongLineIsCutTo2047Bytes) {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    Log::SetOutput(f);
    std::string text(3000, 'y');
    Log::log(0, "%s\n", text.c_str());
    EXPECT_EQ(read_all(f), std::string(2047, 'y'));
    fclose(f);
}

} // namespace
