#include "app/Parameters.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "aDirectory.h"
#include "app/CLI_Display.h"
#include "app/Log.h"

#ifndef UPDATER_DEFAULT_HOST
#error "UPDATER_DEFAULT_HOST must name the default update server host[:port]"
#endif

const char* const DEFAULT_HTTP_UPDATE_URL = "http://" UPDATER_DEFAULT_HOST "/cgi/u";
const char* const DEFAULT_HTTPS_UPDATE_URL = "https://" UPDATER_DEFAULT_HOST "/cgi/u";

// clang-format off
const OptionEntry g_rgOptions[33] = {
    {OPT_COMMAND, "-B", ARG_NONE},
    {OPT_COMMAND, "-L", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},
    {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},
    {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE},
    {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},
    {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_COMMAND, "-J", ARG_NONE},
    {OPT_HELP, "-h", ARG_NONE},
    {OPT_HELP, "-H", ARG_NONE},
    {OPT_PARAMETER, "-n", ARG_NONE},
    {OPT_PARAMETER, "-X", ARG_REQUIRED},
    {OPT_PARAMETER, "-Z", ARG_REQUIRED},
    {OPT_PARAMETER, "-m", ARG_REQUIRED},
    {OPT_PARAMETER, "-i", ARG_REQUIRED},
    {OPT_PARAMETER, "-b", ARG_REQUIRED},
    {OPT_PARAMETER, "-d", ARG_REQUIRED},
    {OPT_PARAMETER, "-t", ARG_REQUIRED},
    {OPT_PARAMETER, "-f", ARG_REQUIRED},
    {OPT_PARAMETER, "-r", ARG_REQUIRED},
    {OPT_PARAMETER, "-s", ARG_REQUIRED},
    {OPT_PARAMETER, "-o", ARG_REQUIRED},
    {OPT_PARAMETER, "-e", ARG_NONE},
    {OPT_PARAMETER, "-l", ARG_REQUIRED},
    {OPT_PARAMETER, "-k", ARG_REQUIRED},
    {OPT_PARAMETER, "-u", ARG_REQUIRED},
    {OPT_HELP, "--help", ARG_NONE},
    {OPT_HTTP_URL, "--http", ARG_NONE},
    {OPT_HTTPS_URL, "--https", ARG_NONE},
    {OPT_END, nullptr, ARG_NONE},
};
// clang-format on

namespace {

constexpr size_t kHomeDirectorySize = 2048;

// Digits are accumulated modulo 2^32, so a longer text keeps exactly its low 32 bits.
uint32_t _get_digits_arg(const char* text, char** end, const char* digits, uint32_t base) {
    if (text == nullptr || end == nullptr) return 0;
    uint32_t value = 0;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        const char* d = strchr(digits, *p);
        if (d == nullptr) return 0;
        uint32_t digit = static_cast<uint32_t>(d - digits);
        if (digit >= base) digit -= 6; // "abcdef" follow "ABCDEF" in the digit list
        value = value * base + digit;
    }
    *end = const_cast<char*>(p);
    return value;
}

size_t leading_hyphens(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && text[n] == '-')
        ++n;
    return n;
}

// Exact match first; else the one entry that the name is a proper prefix of, with the same
// number of leading hyphens and at least one character after them. Null when none or several.
const OptionEntry* find_option(std::string_view name) {
    for (const OptionEntry* e = g_rgOptions; e->id != OPT_END; ++e)
        if (name == e->text) return e;
    size_t hyphens = leading_hyphens(name);
    if (hyphens == name.size()) return nullptr;
    const OptionEntry* found = nullptr;
    for (const OptionEntry* e = g_rgOptions; e->id != OPT_END; ++e) {
        std::string_view text = e->text;
        if (leading_hyphens(text) != hyphens || text.size() <= name.size()) continue;
        if (text.substr(0, name.size()) != name) continue;
        if (found != nullptr) return nullptr; // ambiguous
        found = e;
    }
    return found;
}

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Strips a "0x"/"0X" prefix and reads the rest as hexadecimal; 0 for anything unusable.
uint32_t parse_serial(const char*& text, const char* discard_line) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", discard_line);
        text += 2;
    }
    char* end = nullptr;
    return _get_hex_arg(text, &end);
}

} // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
    return _get_digits_arg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return _get_digits_arg(text, end, "0123456789", 10);
}

int _validate_params(Parameters*) {
    return 0;
}

int _release_params(Parameters* params) {
    if (params != nullptr) *params = Parameters{};
    return 0;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* out) {
    *out = Parameters{};
    out->server_url = DEFAULT_HTTP_UPDATE_URL;
    out->log_file = "Updater.log";
    if (argc > 0 && argv[0] != nullptr) {
        std::string_view path = argv[0];
        size_t slash = path.find_last_of("/\\");
        out->program_name =
            std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    }
    char home[kHomeDirectorySize] = "";
    aDirectory_GetHomeDirectory(home, sizeof home);
    out->home_directory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", home);

    int result = 0;
    int url_choices = 0;
    // The arguments as the parser leaves them: options in place, the rest moved behind.
    std::vector<const char*> ordered;
    std::vector<const char*> set_aside;
    if (argc > 0) ordered.push_back(argv[0]);

    for (int i = 1; i < argc; ++i) {
        const char* current = argv[i];
        if (current[0] != '-') {
            set_aside.push_back(current);
            continue;
        }
        ordered.push_back(current);

        std::string_view name = current;
        const char* argument = nullptr;
        size_t equals = name.find('=');
        if (equals != std::string_view::npos) {
            argument = current + equals + 1;
            name = name.substr(0, equals);
        }
        const OptionEntry* entry = find_option(name);
        if (entry == nullptr) continue;
        if (entry->arg == ARG_NONE && argument != nullptr) continue;
        if (entry->arg == ARG_REQUIRED && argument == nullptr) {
            if (i + 1 >= argc || argv[i + 1][0] == '-') continue;
            argument = argv[++i];
            ordered.push_back(argument);
        }

        switch (entry->id) {
        case OPT_HELP:
            out->commands.Set(CMD_HELP);
            out->help_requested = true;
            return 0;
        case OPT_HTTPS_URL:
            out->server_url = DEFAULT_HTTPS_UPDATE_URL;
            ++url_choices;
            break;
        case OPT_HTTP_URL:
            out->server_url = DEFAULT_HTTP_UPDATE_URL;
            ++url_choices;
            break;
        case OPT_COMMAND:
        case OPT_PARAMETER:
            switch (entry->text[1]) {
            case 'B':
                out->commands.Set(CMD_LIST_BUILDS);
                break;
            case 'L':
                out->commands.Set(CMD_LIST_LOCAL_BUILDS);
                break;
            case 'D':
                out->commands.Set(CMD_DISCOVER);
                break;
            case 'G':
                out->commands.Set(CMD_GET_BUILD);
                break;
            case 'I':
                out->commands.Set(CMD_VIEW_INFO);
                break;
            case 'U':
                out->commands.Set(CMD_UPDATE);
                break;
            case 'O':
                out->override_model_check = true;
                break;
            case 'N':
                out->commands.Set(CMD_FINGERPRINT);
                break;
            case 'C':
                out->commands.Set(CMD_CHECK_BIRDFILE);
                break;
            case 'J':
                out->commands.Set(CMD_GET_JWT);
                break;
            case 'Y':
                display.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]",
                                entry->text);
                result = 1;
                break;
            case 'n':
                out->n_switch = true;
                break;
            case 'e':
                out->echo_bytes = true;
                break;
            case 'Z':
                out->commands.Set(CMD_OPTION_Z);
                break;
            case 'i':
                out->store_directory = argument;
                break;
            case 'f':
                out->bird_file = argument;
                break;
            case 's':
                out->serial_port = argument;
                break;
            case 'l':
                out->log_message = argument;
                break;
            case 'k':
                out->log_file = argument;
                break;
            case 'u':
                out->server_url = argument;
                ++url_choices;
                break;
            case 'm':
                out->uei_bytes_load = argument[0] == '1' || starts_with(argument, "true");
                break;
            case 'b': {
                char* end = nullptr;
                out->build = std::to_string(_get_int_arg(argument, &end));
                break;
            }
            case 'o': {
                char* end = nullptr;
                out->baud_rate = _get_int_arg(argument, &end);
                break;
            }
            case 'd': {
                const char* text = argument;
                out->serial_number = parse_serial(text, "Discarding '0x' serial number prefix\n");
                if (out->serial_number == 0) {
                    display.message(UpdaterDisplayInterface::ERROR,
                                    "Invalid serial number obtained from argument [%s]", text);
                    result = 1;
                }
                break;
            }
            case 'r': {
                const char* text = argument;
                out->router_serial_number =
                    parse_serial(text, "Discarding '0x' router serial number prefix\n");
                if (out->router_serial_number == 0) {
                    display.message(UpdaterDisplayInterface::ERROR,
                                    "Invalid router serial number obtained from argument [%s]",
                                    text);
                    result = 1;
                }
                break;
            }
            case 't':
                out->transport_given = true;
                if (strncmp(argument, "USB", 3) == 0) {
                    out->transport = 1;
                } else if (strncmp(argument, "TCP", 3) == 0) {
                    out->transport = 2;
                } else if (strncmp(argument, "RECOVER", 7) == 0) {
                    out->transport = TRANSPORT_RECOVER;
                } else {
                    display.message(UpdaterDisplayInterface::ERROR,
                                    "Invalid transport type:[%s]\nMust be one of the following: "
                                    "USB, TCPIP, RECOVER",
                                    argument);
                    out->transport = TRANSPORT_INVALID;
                    result = 1;
                }
                break;
            case 'X': {
                out->debug_mask_given = true;
                const char* digits = argument;
                bool hex = argument[0] == '0' && (argument[1] == 'x' || argument[1] == 'X');
                if (hex) digits += 2;
                const char* valid = hex ? "0123456789ABCDEFabcdef" : "0123456789";
                size_t length = strspn(digits, valid);
                std::string number(digits, length);
                char* end = nullptr;
                out->debug_mask =
                    hex ? _get_hex_arg(number.c_str(), &end) : _get_int_arg(number.c_str(), &end);
                if (digits[length] != '\0') {
                    display.message(UpdaterDisplayInterface::ERROR,
                                    "Invalid format for \"%s\" parameter, unprocessed "
                                    "characters [%s]",
                                    entry->text, digits + length);
                } else {
                    Log::ActivatePackage(out->debug_mask);
                }
                break;
            }
            default:
                break;
            }
            break;
        default:
            break;
        }
    }

    if (url_choices > 1) {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Multiple update server URLs specified. Choose one of: --https, --http, "
                        "or -U <host:port>.");
        result = 1;
    }

    ordered.insert(ordered.end(), set_aside.begin(), set_aside.end());
    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", out->program_name.c_str());
    for (const char* arg : ordered)
        Log::log(DEBUG_APP, "\t[%s]\n", arg);

    if (result == 0) result = _validate_params(out);
    return result;
}
