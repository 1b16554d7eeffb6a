// Message dialogs and the file-open dialog, through GTK 3 when a display is available.

#include "platform/HostUI.h"

#include <gtk/gtk.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// GTK is brought up once, on the first dialog; a failure (no display) is remembered
// so later messages go to standard error only, without retrying every time.
bool gtkReady() {
    // A cache of a one-time set-up: GTK can be initialised only once per process.
    static int state = 0;  // 0 untried, 1 ready, -1 unavailable
    if (state == 0) {
        const bool haveDisplay = envSet("DISPLAY") || envSet("WAYLAND_DISPLAY");
        state = haveDisplay && gtk_init_check(nullptr, nullptr) ? 1 : -1;
    }
    return state == 1;
}

// Lets GTK finish unmapping a dialog before the caller goes on with long work.
void drainGtkEvents() {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

// GTK refuses invalid UTF-8; show what can be shown rather than nothing.
std::string validUtf8(const char* text) {
    gchar* valid = g_utf8_make_valid(text, -1);
    std::string result(valid);
    g_free(valid);
    return result;
}

// "*.pmd" also matches "MODEL.PMD", as the original dialog's filters did.
std::string caseInsensitiveGlob(const std::string& pattern) {
    std::string glob;
    for (char c : pattern) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x80 && std::isalpha(u)) {
            glob += '[';
            glob += static_cast<char>(std::tolower(u));
            glob += static_cast<char>(std::toupper(u));
            glob += ']';
        } else {
            glob += c;
        }
    }
    return glob;
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Runs the dialog command; true with its first output line when it chose something.
bool runDialogCommand(const char* command, std::string& chosen) {
    std::fflush(nullptr);  // the child must not repeat our buffered output
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) {
        std::fprintf(stderr, "chooseOpenFile: cannot run PAVONIX_FILE_DIALOG command \"%s\": %s\n", command,
                     std::strerror(errno));
        return false;
    }
    std::string output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    const std::size_t end = output.find('\n');
    chosen = output.substr(0, end);
    if (!chosen.empty() && chosen.back() == '\r') chosen.pop_back();
    return !chosen.empty();
}

bool runGtkChooser(const char* filterDescription, const char* patterns, std::string& chosen) {
    if (!gtkReady()) {
        std::fprintf(stderr, "chooseOpenFile: no display to show the file dialog on\n");
        return false;
    }
    GtkWidget* dialog = gtk_file_chooser_dialog_new("Open", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                                    GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    if (patterns != nullptr && *patterns != '\0') {
        GtkFileFilter* filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, validUtf8(filterDescription ? filterDescription : patterns).c_str());
        const std::string list(patterns);
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t semicolon = list.find(';', start);
            if (semicolon == std::string::npos) semicolon = list.size();
            const std::string one = list.substr(start, semicolon - start);
            if (!one.empty()) gtk_file_filter_add_pattern(filter, caseInsensitiveGlob(one).c_str());
            start = semicolon + 1;
        }
        gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);  // the chooser takes ownership
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), cwd);

    bool accepted = false;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        gchar* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        if (file != nullptr) {
            chosen = file;
            accepted = true;
            g_free(file);
        }
    }
    gtk_widget_destroy(dialog);
    drainGtkEvents();
    return accepted;
}

}  // namespace

void showMessage(const char* caption, const char* text) {
    const char* c = caption != nullptr ? caption : "";
    const char* t = text != nullptr ? text : "";
    std::fprintf(stderr, "%s: %s\n", c, t);
    std::fflush(stderr);
    if (envSet("PAVONIX_NO_DIALOGS") || !gtkReady()) return;

    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s",
                                               validUtf8(t).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), validUtf8(c).c_str());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    drainGtkEvents();
}

bool chooseOpenFile(const char* filterDescription, const char* patterns, const char* defaultExtension,
                    std::string& path) {
    std::string chosen;
    const char* command = std::getenv("PAVONIX_FILE_DIALOG");
    const bool picked = command != nullptr ? runDialogCommand(command, chosen)
                                           : runGtkChooser(filterDescription, patterns, chosen);
    if (!picked) return false;

    // A name typed without its extension gets the default one when that file exists.
    if (!isRegularFile(chosen) && defaultExtension != nullptr && *defaultExtension != '\0') {
        std::string withExtension = chosen + (defaultExtension[0] == '.' ? "" : ".") + defaultExtension;
        if (isRegularFile(withExtension)) chosen = withExtension;
    }

    // The path must survive the change of folder below, so make it absolute first.
    if (chosen[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) chosen = std::string(cwd) + "/" + chosen;
    }
    const std::size_t slash = chosen.rfind('/');
    const std::string folder = slash == 0 ? std::string("/") : chosen.substr(0, slash);
    if (chdir(folder.c_str()) != 0)
        std::fprintf(stderr, "chooseOpenFile: cannot change to folder \"%s\": %s\n", folder.c_str(),
                     std::strerror(errno));
    path = chosen;
    return true;
}
