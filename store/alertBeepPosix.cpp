// alertBeepPosix.cpp -- no beep: a plug-in has no terminal of its own to ring
#include "store/alertBeep.h"

void soundAlertBeep() {}
