// The failure e-mail.
#include "alert/alert.h"

// Will write the body file and hand it to the host's mail command.
void kesemail() {}
