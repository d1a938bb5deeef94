// Alerting: the failure e-mail, at most one per clock hour.
#pragma once

// Sends the alert e-mail unless one went out this hour or e-mail is off.
void kesemail();
