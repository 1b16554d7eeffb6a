// Runs the real pavonix executable for end-to-end tests: environment, arguments,
// working directory, captured standard error, and a few X11 helpers to find, poke and
// close its window.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

std::string pavonixExecutable();  // PAVONIX_BINARY_DIR/app/pavonix

class ProgramRun {
public:
    ProgramRun() = default;
    ~ProgramRun();  // kills the process if it still runs
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Starts exe with args in workDir; env entries are added to (or replace) the
    // current environment. Standard error and output go to a temporary file.
    bool start(const std::string& exe, const std::vector<std::string>& args, const std::string& workDir,
               const std::vector<std::pair<std::string, std::string>>& env);
    // Waits up to timeoutSeconds; true with the exit status (or 128 + signal) when it ended.
    bool wait(double timeoutSeconds, int* status);
    bool running();
    void kill();
    std::string output() const;  // everything written to standard output and error so far
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string logPath_;
    bool exited_ = false;
    int status_ = 0;
};

// Runs a program to its end (timeout in seconds); returns its exit status, -1 on timeout.
int runToEnd(const std::string& exe, const std::vector<std::string>& args, const std::string& workDir,
             const std::vector<std::pair<std::string, std::string>>& env, double timeoutSeconds,
             std::string* output = nullptr);

// X11 window helpers (DISPLAY must be set; all return false/0 without a display).
unsigned long findWindowByName(const std::string& name, double timeoutSeconds);
bool windowSize(unsigned long window, int* width, int* height);
std::string windowName(unsigned long window);
// Asks the window to close as a window manager would (WM_DELETE_WINDOW).
bool closeWindow(unsigned long window);
// xdotool key / menu helpers.
bool sendKey(unsigned long window, const std::string& keyName);
bool clickMenu(unsigned long window, int menuX, int menuY, int itemOffsetY);

// A fresh temporary directory (removed by the caller if wanted).
std::string makeTempDir(const std::string& prefix);
bool copyFile(const std::string& from, const std::string& to);

// Paths of the files in dir whose names start with prefix.
std::set<std::string> listFilesWithPrefix(const std::string& dir, const std::string& prefix);
