// Keyboard, special-key and menu commands.
#pragma once

#include <cstddef>

// The right-button menu: identifiers 1..20 in order, labels as shown.
constexpr int kMenuEntryCount = 20;
extern const char* const kMenuLabels[kMenuEntryCount];

void keyboardPressed(unsigned char key, int x, int y);
void specialKeyPressed(int key, int x, int y);
void menuSelected(int id);

void openModel1();
void openModel2();
void openMotion();
void restartMotion();
void openMusic();

// The open commands with a given file instead of the dialog (command line and tests).
// Return whether the model or motion was loaded.
bool openModelFile(int slot, const char* path);
bool openMotionFile(const char* path);
// Decodes the song and plays it with the motion, both from their start. A file that
// cannot be played is reported (naming it and what is wrong) and changes nothing.
bool openMusicFile(const char* path);
// Tells the user, once per run, that songs are not heard for want of a sound device.
void reportMusicDeviceProblem();

// The menu entry a key selects (0 for none); space, '+' and '-' have no menu entry.
int menuEntryForKey(unsigned char key);
