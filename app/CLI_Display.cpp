#include "app/CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 69;
constexpr int kEraseWidth = 88;
constexpr const char kBar[] =
    "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth);

constexpr const char* kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool stdout_is_terminal() {
    return isatty(fileno(stdout)) == 1;
}

void erase_line() {
    fprintf(stdout, "\r%*s\r", kEraseWidth, " ");
}

} // namespace

uint8_t CLI_Display::spinner_counter = 0;

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!stdout_is_terminal()) return;
    if (!show) erase_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!stdout_is_terminal()) return;
    // Converting a NaN or out-of-range double to int is undefined; a bar past either end means
    // nothing to the user anyway.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int width = kBarWidth;
    if (label != nullptr) {
        size_t room = strlen(label) + 4;
        width = room >= static_cast<size_t>(kBarWidth) ? 0 : kBarWidth - static_cast<int>(room);
    }
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100);
    if (label == nullptr)
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
    else
        fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "",
                percent);
}

void CLI_Display::update_spinner(bool spinning, const char* label) {
    if (!stdout_is_terminal()) return;
    if (!spinning) {
        erase_line();
        return;
    }
    const char* frame = kSpinnerFrames[spinner_counter];
    if (label == nullptr)
        fprintf(stdout, "\r %s      \r", frame);
    else
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    spinner_counter = static_cast<uint8_t>((spinner_counter + 1) % 8);
}

void CLI_Display::info_message(const char* text) {
    fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text);
}
