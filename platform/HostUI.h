// Messages to the user and the file-open dialog.
#pragma once

#include <string>

// Writes "caption: text" to standard error; also shows a modal GTK message dialog with
// an OK button when a display is available and PAVONIX_NO_DIALOGS is not set.
// Texts are UTF-8.
void showMessage(const char* caption, const char* text);

// Shows an "Open" file chooser with one filter (description and ';'-separated glob
// patterns such as "*.pmd;*.pmx"). When PAVONIX_FILE_DIALOG is set, that command is run
// instead and the first line of its output is the chosen path (empty output or a
// non-zero exit status means cancelled). On success the chosen file's folder becomes
// the current directory, path receives the file's path (UTF-8) and the result is true.
bool chooseOpenFile(const char* filterDescription, const char* patterns, const char* defaultExtension,
                    std::string& path);
