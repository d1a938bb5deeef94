// Keyboard commands typed at the console.
#include "console/console.h"

// Will switch the console to character-at-a-time input without keyboard signals.
void init_keyboard() {}

// Will read typed bytes and run the command of each finished line.
void checkkybd() {}
