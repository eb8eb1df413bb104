// The built tool run as a child process: command lines against standard output, standard error
// and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
    std::string out;
    std::string err;
    int status = -1;
};

// How the child is started: HOME set to home (or removed when empty), and, when uid is not -1,
// with that user and group id.
struct Launch {
    std::string home;
    uid_t uid = static_cast<uid_t>(-1);
};

// Runs the tool; output is read until both pipes close.
Result run(const std::vector<std::string>& args, const Launch& launch) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");

    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "HOME=", 5) != 0) env_text.push_back(*e);
    if (!launch.home.empty()) env_text.push_back("HOME=" + launch.home);
    std::vector<char*> env;
    for (std::string& e : env_text)
        env.push_back(e.data());
    env.push_back(nullptr);

    std::vector<std::string> argv_text = {UPDATER_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out_pipe[1], STDOUT_FILENO) < 0 ||
            dup2(err_pipe[1], STDERR_FILENO) < 0)
            _exit(127);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (launch.uid != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(launch.uid) != 0 || setuid(launch.uid) != 0))
            _exit(126);
        execve(UPDATER_BINARY, argv.data(), env.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    Result r;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, 30000) <= 0) break; // a hung child fails the test below
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) {
            kill(pid, SIGKILL);
            close(p.fd);
        }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return r;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string golden(const char* name) {
    std::ifstream in(std::string(UPDATER_GOLDEN_DIR) + "/" + name, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("missing golden file ") + name);
    std::stringstream text;
    text << in.rdbuf();
    return replace_all(text.str(), "DEFAULT-HOST", UPDATER_DEFAULT_HOST);
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/updater-cli.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
        store = home + "/store";
        short_usage = golden("usage_short.txt");
        full_usage = short_usage + golden("usage_parameters.txt") + golden("usage_samples.txt");
        extended_usage = short_usage + golden("usage_parameters.txt") +
                         golden("usage_extended.txt") + golden("usage_samples.txt");
    }
    void TearDown() override { fs::remove_all(home); }

    std::string home;
    std::string store; // given with -i where a command reaches the store folder
    std::string short_usage, full_usage, extended_usage;
    const std::string version = "Updater (Version: 2.12.2 Mar 13 2026)\n";
};

struct Case {
    std::vector<std::string> args; // "STORE" stands for the test's store folder
    std::string out;               // "V" version line, "VN" version line and notice
    std::string err;               // "S", "F", "E": short, full, extended usage appended
    int status;
};

TEST_F(Cli, CommandLines) {
    const std::string bad_transport =
        "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n";
    const std::string multiple = "Multiple update server URLs specified. Choose one of: "
                                 "--https, --http, or -U <host:port>.\n";
    const std::vector<Case> cases = {
        // Usage screens.
        {{}, "VN", "|S", 0},
        {{"-Q", "--foo", "-DU", "-d40F5849A", "stray", "-O", "--http"}, "VN", "|S", 0},
        {{"-h"}, "VN", "|F", 0},
        {{"-H"}, "VN", "|F", 0},
        {{"--help"}, "VN", "|F", 0},
        {{"--he"}, "VN", "|F", 0},
        {{"--h"}, "VN", "|S", 0},  // ambiguous: dropped, so no command at all
        {{"--ht"}, "VN", "|S", 0}, // ambiguous
        {{"-X", "1", "-h"}, "VN", "|E", 0},
        {{"-X=0x10", "--help"}, "VN", "|E", 0},
        {{"-h", "-X", "1"}, "VN", "|F", 0},
        {{"-h=1"}, "VN", "|S", 0}, // "=" argument to an option without one
        {{"-Z"}, "VN", "|S", 0},   // missing argument: dropped
        {{"-t", "bad", "-h"},
         "VN",
         "Invalid transport type:[bad]\nMust be one of the following: USB, TCPIP, RECOVER\n|F",
         0},
        // Refused options: their messages, the version line, the notice, the short usage.
        {{"-d", "40F5849G"},
         "VN",
         "Invalid serial number obtained from argument [40F5849G]\n|S",
         1},
        {{"-d", "0", "-D"}, "VN", "Invalid serial number obtained from argument [0]\n|S", 1},
        {{"-d", "0x", "-U"}, "VN", "Invalid serial number obtained from argument []\n|S", 1},
        {{"-r", "xyz", "-D"},
         "VN",
         "Invalid router serial number obtained from argument [xyz]\n|S",
         1},
        {{"-t", "usb", "-D"}, "VN", bad_transport + "|S", 1},
        {{"--http", "--https", "-D"}, "VN", multiple + "|S", 1},
        {{"-u", "a", "-u", "b", "-D"}, "VN", multiple + "|S", 1},
        {{"-Y"}, "VN", "Unhandled command: [-Y]\n|S", 1},
        {{"-Y", "-t", "usb", "-u", "a", "--https"},
         "VN",
         "Unhandled command: [-Y]\n" + bad_transport + multiple + "|S",
         1},
        // Commands that need more than was given.
        {{"-B", "-i", "STORE"},
         "V",
         "Error must supply a serial number for the List Builds command\n|S",
         1},
        {{"-L", "-i", "STORE"},
         "V",
         "Error must supply a serial number for the List Local Builds command\n|S",
         1},
        {{"-J", "-i", "STORE"},
         "V",
         "Error must supply a serial number for the Get JWT command\n|S",
         1},
        {{"-G", "-i", "STORE"},
         "V",
         "-G must specify a specific device via -d\n--help for usage information\n",
         1},
        {{"-U", "-i", "STORE"}, "V", "Must specify the specific device to be updated\n", 1},
        {{"-U", "-t", "TCPIP", "-b", "12", "-i", "STORE"},
         "V",
         "Must specify the specific device to be updated\n",
         1},
        {{"-N", "-i", "STORE"}, "V", "Must specify the serial port used for connecting\n", 1},
        {{"-N", "-D", "-i", "STORE"}, "V", "Must specify the serial port used for connecting\n", 1},
        // Switches that only keep the usage screen away.
        {{"-C", "-i", "STORE"}, "V", "", 0},
        {{"-I", "-i=STORE"}, "V", "", 0},
        {{"-Z", "anything", "-OVERRIDE", "-i", "STORE"}, "V", "", 0},
        {{"-d", "-C", "-i", "STORE"}, "V", "", 0}, // -d drops, -C is examined
        {{"-X", "12abc", "-C", "-i", "STORE"},
         "V",
         "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n",
         0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args;
        std::string line;
        for (const std::string& a : c.args) {
            args.push_back(replace_all(a, "STORE", store));
            line += a + " ";
        }
        SCOPED_TRACE(line);
        const std::string& out = version; // every line starts with the version line
        std::string err = c.err;
        size_t bar = err.rfind('|');
        if (bar != std::string::npos) {
            char block = err[bar + 1];
            err = err.substr(0, bar) + (block == 'S'   ? short_usage
                                        : block == 'F' ? full_usage
                                                       : extended_usage);
        }
        Result r = run(args, {home});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, err);
        if (c.out == "VN") {
            ASSERT_EQ(r.out.compare(0, version.size(), version), 0) << r.out;
            std::string notice = r.out.substr(version.size());
            EXPECT_FALSE(notice.empty());
            EXPECT_EQ(notice.find('\n'), notice.size() - 1) << "one notice line: " << notice;
        } else {
            EXPECT_EQ(r.out, out);
        }
    }
}

TEST_F(Cli, NoArgumentsPrintsTheNoticeAndTheShortUsage) {
    Result r = run({}, {home});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, short_usage);
    EXPECT_EQ(r.out.substr(0, version.size()), version);
    // Nothing below the usage screen touches the store.
    EXPECT_FALSE(fs::exists(home + "/.quenlo"));
}

TEST_F(Cli, StoreFolderIsMadeUnderTheGivenFolder) {
    std::string deep = home + "/a/b/c";
    Result r = run({"-C", "-i", deep}, {home});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_directory(deep + "/updater"));
    EXPECT_EQ(fs::status(deep + "/updater").permissions() & fs::perms::owner_all,
              fs::perms::owner_all);

    // A file where the folder should be cannot become the store.
    std::string blocked = home + "/blocked";
    std::ofstream(blocked) << "x";
    r = run({"-C", "-i", blocked}, {home});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, version);
    EXPECT_EQ(r.err, "Could not find updater directory at " + blocked + "/updater\n");
}

TEST_F(Cli, StoreFolderUnderTheHomeFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as a user without an entry";
    // A user unknown to the password database: the home folder comes from HOME.
    const uid_t nobody_known = 54321;
    ASSERT_EQ(chmod(home.c_str(), 0777), 0);
    Result r = run({"-C"}, {home, nobody_known});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_directory(home + "/.quenlo/updater"));

    // Without HOME either there is no home folder, and the store must not land under "/".
    r = run({"-X", "0x10000", "-C"}, {"", nobody_known});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, version);
    EXPECT_NE(r.err.find("Updater: FailedaDirectory_GetHomeDirectory()==> "), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists("/.quenlo"));
}

TEST_F(Cli, FingerprintRunsBeforeDiscoveryWhichDecidesTheStatus) {
    // No chip answers on a port that does not exist; the discovery still runs and exits 0.
    Result r = run({"-N", "-s", home + "/no-such-port", "-D", "-t", "USB", "-i", store}, {home});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, version + "Searching for Vorlixane devices\nDiscovered Devices: (USB)\n"
                               "    No devices found.\n");
    EXPECT_NE(r.err.find("Got no response from chip\n"), std::string::npos) << r.err;
}

TEST_F(Cli, DebugLinesFollowTheMaskAsItIsParsed) {
    // -X takes effect at once: the prefix line of a later -d is written, that of an earlier one
    // is not. The argument list is logged with the set-aside arguments moved behind.
    Result r = run({"-X", "0x10001", "-d", "0x40F5849A", "stray", "-C", "-i", store}, {home});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Discarding '0x' serial number prefix\n"
                     "\nApplication parameters:[Updater]\n"
                     "\t[" UPDATER_BINARY "]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0x40F5849A]\n"
                     "\t[-C]\n\t[-i]\n\t[" +
                         store + "]\n\t[stray]\n");

    r = run({"-r", "0XD272031D", "-X", "1", "-C", "-i", store}, {home});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    r = run({"-X", "1", "-r", "0XD272031D", "-C", "-i", store}, {home});
    EXPECT_EQ(r.err, "Discarding '0x' router serial number prefix\n");
}

} // namespace
