// The sink for user-facing text: one-line messages at two levels, a progress bar and a spinner.
// Application parts hold a reference to one and never print to the console themselves.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { INFO = 0, ERROR = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool spinning, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into 2048 bytes (longer text is cut) and hands it to error_message for ERROR,
    // info_message otherwise; does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Mutes message() only; progress and spinner keep drawing.
    void mute_messages(bool mute) { muted = mute; }

protected:
    // Never deleted through the interface: the display of a run is a stack object of main.
    ~UpdaterDisplayInterface() = default;

    bool muted = false;
};
