// alertBeepWin32.cpp -- the simple beep of user32
#include <windows.h>

#include "store/alertBeep.h"

void soundAlertBeep() { MessageBeep(0xFFFFFFFF); }
