// alertBeep.h -- the platform's simple warning sound
#pragma once

// Sounds the system's default beep where there is one; nothing elsewhere.
void soundAlertBeep();
