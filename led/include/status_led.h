// The status LEDs: three driver files, active low ('0' lights an LED, '1' puts it out).
#pragma once

#include <cstdio>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Open driver file handles; null while a file is not open.
extern FILE* RedLedFp;
extern FILE* GreenLedFp;
extern FILE* BlueLedFp;

// Opens the three driver files (red, blue, green); a file that does not open stays null.
// Handles still open from an earlier call are closed first.
void OpenAllLED();
// Closes every open handle and sets it to null.
void CloseAllLED();

void SetAllLEDOn();
void SetAllLEDOff();
void SetRedLedOn();
void SetRedLedOff();
void SetGreenLedOn();
void SetGreenLedOff();
void SetBlueLedOn();
void SetBlueLedOff();

}  // extern "C"

LIBRARY_EXPORTS_END
