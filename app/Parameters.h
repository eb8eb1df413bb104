// The parsed command line: command bits, the option table and the parser that fills Parameters.
#pragma once

#include <cstdint>
#include <string>

class CLI_Display;

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_LIST_BUILDS = 0x00000004,
    CMD_GET_BUILD = 0x00000008,
    CMD_VIEW_INFO = 0x00000010,
    CMD_CHECK_BIRDFILE = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_OPTION_Z = 0x00000080,
    CMD_GET_JWT = 0x00000100,
    CMD_LIST_LOCAL_BUILDS = 0x00000200,
    CMD_HELP = 0x80000000,
};

// Every bit an option can set; a line with none of them shows the usage screen.
constexpr uint32_t CMD_ALL = CMD_DISCOVER | CMD_UPDATE | CMD_LIST_BUILDS | CMD_GET_BUILD |
                             CMD_VIEW_INFO | CMD_CHECK_BIRDFILE | CMD_FINGERPRINT | CMD_OPTION_Z |
                             CMD_GET_JWT | CMD_LIST_LOCAL_BUILDS | CMD_HELP;

class CommandsClass {
public:
    void Set(COMMANDS command) { word |= command; }
    // True when any bit of the argument is set.
    bool IsSet(uint32_t commands) const { return (word & commands) != 0; }
    uint32_t Word() const { return word; }

private:
    uint32_t word = 0;
};

// Transport values of Parameters::transport besides the link types USB (1) and TCPIP (2).
constexpr int32_t TRANSPORT_INVALID = 0;
constexpr int32_t TRANSPORT_RECOVER = 255;

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial_number = 0;
    int32_t transport = 1;
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0;
    std::string bird_file;
    std::string log_message;
    std::string build; // decimal text; empty means the latest build
    bool echo_bytes = false;
    std::string server_url;
    bool n_switch = false;
    std::string store_directory;
    std::string program_name;
    std::string home_directory;
    std::string log_file;
    bool override_model_check = false;
    bool uei_bytes_load = true;
    uint32_t debug_mask = 0;
    bool debug_mask_given = false;
    bool help_requested = false;
};

// Option table entry kinds.
enum OptionId : int {
    OPT_END = -1,
    OPT_HELP = 0,
    OPT_COMMAND = 1,
    OPT_PARAMETER = 2,
    OPT_HTTPS_URL = 3,
    OPT_HTTP_URL = 4,
};

enum OptionArg : int { ARG_NONE = 0, ARG_REQUIRED = 1 };

struct OptionEntry {
    int id;
    const char* text;
    OptionArg arg;
};

// 32 options and the end marker (id -1, no text).
extern const OptionEntry g_rgOptions[33];

// "http://" DEFAULT-HOST "/cgi/u" and its HTTPS twin.
extern const char* const DEFAULT_HTTP_UPDATE_URL;
extern const char* const DEFAULT_HTTPS_UPDATE_URL;

// 0 when the line was accepted (also at once on a help option), 1 when an option was refused.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* out);
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// The value of text in base 16 (low 32 bits kept) when every character is a hexadecimal digit;
// then *end points at the terminating zero. Otherwise, or with end null, 0 and *end untouched.
// An empty text gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
// The same in base 10.
uint32_t _get_int_arg(const char* text, char** end);
