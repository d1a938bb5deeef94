// Operator console: the console's terminal mode and the keyboard command line.
#pragma once

// Puts the console into command mode and clears the keyboard line.
void init_keyboard();

// Collects what has been typed and acts on each complete line.
void checkkybd();
