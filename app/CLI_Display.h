// Console implementation of the display: messages to standard output (INFO) and standard error
// (ERROR); the progress bar and spinner are drawn only when standard output is a terminal, so a
// redirected run leaves a clean transcript.
#pragma once

#include <cstdint>

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered, so that progress lines and messages
    // interleave in the order they are written.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool spinning, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

private:
    // Next spinner frame; shared by every display of the process.
    static uint8_t spinner_counter;
};
