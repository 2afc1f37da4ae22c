// The status LEDs, declared here until the LED library is linked into this tree.
#pragma once

extern "C" {

void OpenAllLED();
void CloseAllLED();
void SetAllLEDOff();
void SetRedLedOn();

}  // extern "C"
