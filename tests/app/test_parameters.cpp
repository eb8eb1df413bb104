#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "capture.h"

namespace {

struct Parsed {
    int result;
    Parameters params;
    std::string errors;
};

// Parses one command line in this process, with the messages captured.
Parsed parse(std::vector<std::string> args) {
    Log::DeactivatePackage(0xFFFFFFFF);
    args.insert(args.begin(), "/opt/tools/Updater");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    CLI_Display display;
    Parsed parsed;
    Capture err(STDERR_FILENO, Capture::File);
    parsed.result =
        _get_params(display, static_cast<int>(args.size()), argv.data(), &parsed.params);
    parsed.errors = err.Take();
    Log::DeactivatePackage(0xFFFFFFFF);
    return parsed;
}

TEST(HexAndIntArgs, Conversions) {
    struct Case {
        const char* text;
        bool hex;
        uint32_t value;
        bool end_set;
    } cases[] = {
        {"40F5849A", true, 0x40F5849A, true},
        {"40f5849a", true, 0x40F5849A, true},
        {"deadBEEF", true, 0xDEADBEEF, true},
        {"140F5849A", true, 0x40F5849A, true}, // wider than 32 bits: the low 32 bits
        {"", true, 0, true},
        {"40F5849G", true, 0, false},
        {"0x12", true, 0, false}, // the prefix is the caller's business
        {" 12", true, 0, false},
        {"99", true, 0x99, true},
        {"1234", false, 1234, true},
        {"4294967295", false, 4294967295u, true},
        {"4294967296", false, 0, true}, // kept modulo 2^32
        {"12a", false, 0, false},
        {"-1", false, 0, false},
        {"+1", false, 0, false},
        {"", false, 0, true},
    };
    for (const Case& c : cases) {
        char sentinel = 0;
        char* end = &sentinel;
        uint32_t v = c.hex ? _get_hex_arg(c.text, &end) : _get_int_arg(c.text, &end);
        EXPECT_EQ(v, c.value) << c.text;
        if (c.end_set)
            EXPECT_EQ(end, c.text + strlen(c.text)) << c.text;
        else
            EXPECT_EQ(end, &sentinel) << c.text;
        EXPECT_EQ(c.hex ? _get_hex_arg(c.text, nullptr) : _get_int_arg(c.text, nullptr), 0u)
            << c.text;
    }
}

TEST(GetParams, DefaultsWhenNothingIsGiven) {
    Parsed p = parse({});
    EXPECT_EQ(p.result, 0);
    const Parameters& q = p.params;
    EXPECT_EQ(q.commands.Word(), 0u);
    EXPECT_EQ(q.serial_number, 0u);
    EXPECT_EQ(q.router_serial_number, 0u);
    EXPECT_EQ(q.transport, 1);
    EXPECT_FALSE(q.transport_given);
    EXPECT_EQ(q.baud_rate, 115200u);
    EXPECT_EQ(q.module_address, 0);
    EXPECT_EQ(q.build, "");
    EXPECT_EQ(q.server_url, std::string("http://") + UPDATER_DEFAULT_HOST + "/cgi/u");
    EXPECT_EQ(q.program_name, "Updater");
    EXPECT_FALSE(q.home_directory.empty());
    EXPECT_EQ(q.log_file, "Updater.log");
    EXPECT_FALSE(q.override_model_check);
    EXPECT_TRUE(q.uei_bytes_load);
    EXPECT_FALSE(q.debug_mask_given);
    EXPECT_FALSE(q.help_requested);
}

using Check = std::function<void(const Parameters&)>;

struct LineCase {
    std::vector<std::string> args;
    int result;
    Check check;
    std::string errors = "";
};

void run_cases(const std::vector<LineCase>& cases) {
    for (const LineCase& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        Parsed p = parse(c.args);
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.errors, c.errors);
        c.check(p.params);
    }
}

Check serial(uint32_t expected) {
    return [=](const Parameters& p) { EXPECT_EQ(p.serial_number, expected); };
}

TEST(GetParams, SerialNumbers) {
    const char* invalid = "Invalid serial number obtained from argument [%s]\n";
    auto refused = [&](const char* shown) {
        char text[128];
        snprintf(text, sizeof text, invalid, shown);
        return std::string(text);
    };
    run_cases({
        {{"-d", "0x40F5849A"}, 0, serial(0x40F5849A)},
        {{"-d", "0X40F5849A"}, 0, serial(0x40F5849A)},
        {{"-d", "40f5849a"}, 0, serial(0x40F5849A)},
        {{"-d=40F5849A"}, 0, serial(0x40F5849A)},
        {{"-d", "1", "-d", "2"}, 0, serial(2)}, // a later value replaces an earlier one
        {{"-d", "40F5849G"}, 1, serial(0), refused("40F5849G")},
        {{"-d", "0"}, 1, serial(0), refused("0")},
        {{"-d", "0x"}, 1, serial(0), refused("")},
        {{"-d="}, 1, serial(0), refused("")},
        {{"-d", "100000000"}, 1, serial(0), refused("100000000")},
        {{"-r", "0xD272031D"},
         0,
         [](const Parameters& p) { EXPECT_EQ(p.router_serial_number, 0xD272031Du); }},
        {{"-r", "0xZZ"},
         1,
         [](const Parameters&) {},
         "Invalid router serial number obtained from argument [ZZ]\n"},
        // A missing argument drops the option; the next argument is examined in turn.
        {{"-d", "-U"},
         0,
         [](const Parameters& p) {
             EXPECT_EQ(p.serial_number, 0u);
             EXPECT_EQ(p.commands.Word(), uint32_t(CMD_UPDATE));
         }},
        {{"-d"}, 0, serial(0)},
        {{"-d40F5849A"}, 0, serial(0)}, // glued text: not an option
    });
}

TEST(GetParams, TransportBuildBaudAndSwitches) {
    auto transport = [](int32_t t, bool given = true) -> Check {
        return [=](const Parameters& p) {
            EXPECT_EQ(p.transport, t);
            EXPECT_EQ(p.transport_given, given);
        };
    };
    const std::string bad_transport =
        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER\n";
    auto refused = [&](const std::string& arg) {
        std::string t = bad_transport;
        return t.replace(t.find("%s"), 2, arg);
    };
    run_cases({
        {{"-t", "USB"}, 0, transport(1)},
        {{"-t", "TCP"}, 0, transport(2)},
        {{"-t", "TCPIP"}, 0, transport(2)},
        {{"-t", "RECOVER"}, 0, transport(255)},
        {{"-t", "RECOVE"}, 1, transport(0), refused("RECOVE")},
        {{"-t", "usb"}, 1, transport(0), refused("usb")},
        {{"-t="}, 1, transport(0), refused("")},
        {{"-b", "99528558"}, 0, [](const Parameters& p) { EXPECT_EQ(p.build, "99528558"); }},
        {{"-b", "12x"}, 0, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
        {{"-o", "9600"}, 0, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 9600u); }},
        {{"-o", "fast"}, 0, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 0u); }},
        {{"-m", "1"}, 0, [](const Parameters& p) { EXPECT_TRUE(p.uei_bytes_load); }},
        {{"-m", "trueish"}, 0, [](const Parameters& p) { EXPECT_TRUE(p.uei_bytes_load); }},
        {{"-m", "0"}, 0, [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes_load); }},
        {{"-m", "tru"}, 0, [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes_load); }},
        {{"-m", "yes"}, 0, [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes_load); }},
        {{"-i", "/srv/store", "-f", "a.bird", "-s", "/dev/ttyS0", "-l", "note", "-k", "x.log", "-n",
          "-e"},
         0,
         [](const Parameters& p) {
             EXPECT_EQ(p.store_directory, "/srv/store");
             EXPECT_EQ(p.bird_file, "a.bird");
             EXPECT_EQ(p.serial_port, "/dev/ttyS0");
             EXPECT_EQ(p.log_message, "note");
             EXPECT_EQ(p.log_file, "x.log");
             EXPECT_TRUE(p.n_switch);
             EXPECT_TRUE(p.echo_bytes);
         }},
        {{"-f", ""}, 0, [](const Parameters& p) { EXPECT_EQ(p.bird_file, ""); }},
    });
}

TEST(GetParams, MatchingAndAbbreviations) {
    auto commands = [](uint32_t bits, bool override = false) -> Check {
        return [=](const Parameters& p) {
            EXPECT_EQ(p.commands.Word(), bits);
            EXPECT_EQ(p.override_model_check, override);
        };
    };
    run_cases({
        {{"-O"}, 0, commands(0, true)},
        {{"-OV"}, 0, commands(0, true)},
        {{"-OVERRIDE"}, 0, commands(0, true)},
        {{"-OVERRIDEX"}, 0, commands(0)},
        {{"-override"}, 0, commands(0)},  // case-sensitive
        {{"--OVERRIDE"}, 0, commands(0)}, // the hyphens must match too
        {{"-O=1"}, 0, commands(0)},       // "=" argument to an option without one
        {{"-DU"}, 0, commands(0)},        // no clumping
        {{"-", "--", "---help"}, 0, commands(0)},
        {{"--he"},
         0,
         [](const Parameters& p) {
             EXPECT_TRUE(p.help_requested);
             EXPECT_EQ(p.commands.Word(), uint32_t(CMD_HELP));
         }},
        {{"--h"}, 0, commands(0)},  // help, http and https: ambiguous
        {{"--ht"}, 0, commands(0)}, // http and https: ambiguous
        {{"-G", "stray", "-U", "-L", "-J", "-B", "-D", "-I", "-C", "-N", "-Z", "x"},
         0,
         commands(CMD_GET_BUILD | CMD_UPDATE | CMD_LIST_LOCAL_BUILDS | CMD_GET_JWT |
                  CMD_LIST_BUILDS | CMD_DISCOVER | CMD_VIEW_INFO | CMD_CHECK_BIRDFILE |
                  CMD_FINGERPRINT | CMD_OPTION_Z)},
        {{"-Z"}, 0, commands(0)}, // its argument is required even though it is ignored
        {{"-Y", "-D"}, 1, commands(CMD_DISCOVER), "Unhandled command: [-Y]\n"},
        // Every refused option is reported, not only the first.
        {{"-d", "0", "-t", "x", "-Y"},
         1,
         commands(0),
         "Invalid serial number obtained from argument [0]\nInvalid transport type:[x]\nMust be "
         "one of the following: USB, TCPIP, RECOVER\nUnhandled command: [-Y]\n"},
    });
}

TEST(GetParams, HelpEndsParsing) {
    run_cases({
        {{"-h", "-X", "1", "-d", "0"},
         0,
         [](const Parameters& p) {
             EXPECT_TRUE(p.help_requested);
             EXPECT_FALSE(p.debug_mask_given);
         }},
        {{"-X", "1", "-H"},
         0,
         [](const Parameters& p) {
             EXPECT_TRUE(p.help_requested);
             EXPECT_TRUE(p.debug_mask_given);
         }},
        // Help accepts the line at once, also after a refused option and before the URL check.
        {{"-d", "0", "--http", "--https", "--help"},
         0,
         [](const Parameters& p) { EXPECT_TRUE(p.help_requested); },
         "Invalid serial number obtained from argument [0]\n"},
    });
}

TEST(GetParams, ServerUrls) {
    const std::string http = std::string("http://") + UPDATER_DEFAULT_HOST + "/cgi/u";
    const std::string https = std::string("https://") + UPDATER_DEFAULT_HOST + "/cgi/u";
    const std::string multiple = "Multiple update server URLs specified. Choose one of: "
                                 "--https, --http, or -U <host:port>.\n";
    auto url = [](const std::string& u) -> Check {
        return [=](const Parameters& p) { EXPECT_EQ(p.server_url, u); };
    };
    run_cases({
        {{"--https"}, 0, url(https)},
        {{"--http"}, 0, url(http)},
        {{"-u", "http://127.0.0.1:1/cgi/u"}, 0, url("http://127.0.0.1:1/cgi/u")},
        {{"-u=x=y"}, 0, url("x=y")},
        {{"--http", "--https"}, 1, url(https), multiple},
        {{"-u", "a", "-u", "b"}, 1, url("b"), multiple},
        {{"--https", "--https"}, 1, url(https), multiple},
    });
}

TEST(GetParams, DebugMask) {
    struct Case {
        std::vector<std::string> args;
        uint32_t active; // packages switched on afterwards
        std::string errors;
    } cases[] = {
        {{"-X", "0x400"}, 0x400, ""},
        {{"-X", "0X10001"}, 0x10001, ""},
        {{"-X", "1024"}, 1024, ""},
        {{"-X=0x1", "-X", "2"}, 3, ""}, // packages accumulate
        {{"-X", "12abc"}, 0, "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n"},
        {{"-X", "0x1g"}, 0, "Invalid format for \"-X\" parameter, unprocessed characters [g]\n"},
    };
    for (const Case& c : cases) {
        Log::DeactivatePackage(0xFFFFFFFF);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "Updater");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        CLI_Display display;
        Parameters params;
        Capture err(STDERR_FILENO, Capture::File);
        int result = _get_params(display, static_cast<int>(argv.size()), argv.data(), &params);
        EXPECT_EQ(err.Take(), c.errors) << c.args[1];
        EXPECT_EQ(result, 0) << c.args[1]; // a bad mask does not refuse the line
        EXPECT_TRUE(params.debug_mask_given);
        EXPECT_EQ(Log::package_bitmask, c.active) << c.args[1];
    }
    Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(GetParams, ProgramNameIsTheLastPathComponent) {
    struct Case {
        std::string path;
        std::string name;
    } cases[] = {
        {"Updater", "Updater"},
        {"./bin/Updater", "Updater"},
        {"C:\\tools\\Updater.exe", "Updater.exe"},
        {"/mixed\\sep/Up", "Up"},
        {"dir/", ""},
    };
    for (Case& c : cases) {
        char* argv[] = {c.path.data(), nullptr};
        CLI_Display display;
        Parameters params;
        EXPECT_EQ(_get_params(display, 1, argv, &params), 0);
        EXPECT_EQ(params.program_name, c.name) << c.path;
    }
}

TEST(Commands, SetAndIsSet) {
    CommandsClass c;
    EXPECT_FALSE(c.IsSet(CMD_ALL));
    c.Set(CMD_GET_BUILD);
    c.Set(CMD_UPDATE);
    EXPECT_TRUE(c.IsSet(CMD_UPDATE));
    EXPECT_TRUE(c.IsSet(CMD_DISCOVER | CMD_GET_BUILD)); // any bit of the argument
    EXPECT_FALSE(c.IsSet(CMD_DISCOVER | CMD_HELP));
    EXPECT_EQ(c.Word(), uint32_t(CMD_GET_BUILD | CMD_UPDATE));
}

TEST(OptionTable, ThirtyTwoEntriesAndAnEndMarker) {
    size_t n = 0;
    while (g_rgOptions[n].id != OPT_END)
        ++n;
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(g_rgOptions[32].text, nullptr);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            EXPECT_STRNE(g_rgOptions[i].text, g_rgOptions[j].text);
}

} // namespace
