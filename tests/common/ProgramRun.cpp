#include "common/ProgramRun.h"

#include <X11/Xatom.h>
#include <dirent.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

std::string pavonixExecutable() { return std::string(PAVONIX_BINARY_DIR) + "/app/pavonix"; }

ProgramRun::~ProgramRun() {
    kill();
    if (!logPath_.empty()) std::remove(logPath_.c_str());
}

bool ProgramRun::start(const std::string& exe, const std::vector<std::string>& args, const std::string& workDir,
                       const std::vector<std::pair<std::string, std::string>>& env) {
    char logTemplate[] = "/tmp/pavonix-run-XXXXXX";
    const int logFd = mkstemp(logTemplate);
    if (logFd < 0) return false;
    logPath_ = logTemplate;
    pid_ = fork();
    if (pid_ < 0) {
        close(logFd);
        return false;
    }
    if (pid_ == 0) {
        dup2(logFd, 1);
        dup2(logFd, 2);
        close(logFd);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(logFd);
    exited_ = false;
    return true;
}

bool ProgramRun::wait(double timeoutSeconds, int* status) {
    if (pid_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!exited_) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (status) *status = status_;
    return true;
}

bool ProgramRun::running() {
    if (pid_ < 0 || exited_) return false;
    return !wait(0.0, nullptr);
}

void ProgramRun::kill() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
        exited_ = true;
        status_ = 128 + SIGKILL;
    }
}

std::string ProgramRun::output() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int runToEnd(const std::string& exe, const std::vector<std::string>& args, const std::string& workDir,
             const std::vector<std::pair<std::string, std::string>>& env, double timeoutSeconds, std::string* output) {
    ProgramRun run;
    if (!run.start(exe, args, workDir, env)) return -1;
    int status = -1;
    if (!run.wait(timeoutSeconds, &status)) {
        run.kill();
        status = -1;
    }
    if (output) *output = run.output();
    return status;
}

namespace {

struct DisplayHandle {
    Display* display = XOpenDisplay(nullptr);
    ~DisplayHandle() {
        if (display) XCloseDisplay(display);
    }
};

unsigned long searchTree(Display* d, Window w, const std::string& name) {
    char* wmName = nullptr;
    if (XFetchName(d, w, &wmName) && wmName) {
        const bool match = name == wmName;
        XFree(wmName);
        if (match) return w;
    }
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &count)) return 0;
    unsigned long found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) found = searchTree(d, children[i], name);
    if (children) XFree(children);
    return found;
}

bool runQuiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

unsigned long findWindowByName(const std::string& name, double timeoutSeconds) {
    DisplayHandle h;
    if (!h.display) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    do {
        const unsigned long w = searchTree(h.display, DefaultRootWindow(h.display), name);
        if (w) return w;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

bool windowSize(unsigned long window, int* width, int* height) {
    DisplayHandle h;
    if (!h.display) return false;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(h.display, window, &attributes)) return false;
    *width = attributes.width;
    *height = attributes.height;
    return true;
}

std::string windowName(unsigned long window) {
    DisplayHandle h;
    if (!h.display) return {};
    char* wmName = nullptr;
    std::string out;
    if (XFetchName(h.display, window, &wmName) && wmName) {
        out = wmName;
        XFree(wmName);
    }
    return out;
}

bool closeWindow(unsigned long window) {
    DisplayHandle h;
    if (!h.display) return false;
    XEvent event;
    std::memset(&event, 0, sizeof(event));
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(h.display, "WM_PROTOCOLS", True);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(h.display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status ok = XSendEvent(h.display, window, False, NoEventMask, &event);
    XFlush(h.display);
    return ok != 0;
}

bool sendKey(unsigned long window, const std::string& keyName) {
    return runQuiet("xdotool key --window " + std::to_string(window) + " " + keyName);
}

bool clickMenu(unsigned long window, int menuX, int menuY, int itemOffsetY) {
    const std::string w = std::to_string(window);
    if (!runQuiet("xdotool mousemove --window " + w + " " + std::to_string(menuX) + " " + std::to_string(menuY) +
                  " mousedown 3")) {
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool moved = runQuiet("xdotool mousemove --window " + w + " " + std::to_string(menuX + 20) + " " +
                                std::to_string(menuY + itemOffsetY));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return runQuiet("xdotool mouseup 3") && moved;
}

std::string makeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    const char* dir = mkdtemp(buffer.data());
    return dir ? std::string(dir) : std::string();
}

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

std::set<std::string> listFilesWithPrefix(const std::string& dir, const std::string& prefix) {
    std::set<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind(prefix, 0) == 0) out.insert(dir + "/" + name);
    }
    closedir(d);
    return out;
}
