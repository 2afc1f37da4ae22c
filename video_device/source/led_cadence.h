// The status LEDs' cadence shared by the capture loop and the hand-off module: the step at which a
// colour shows, the step that ends a cycle, and the colours those steps switch.
#pragma once

#include "status_led.h"

namespace led_cadence {

// Steps of a cycle, counted in frames or exposure steps: the colour shows at 5, the cycle ends at 10.
constexpr int kShowStep = 5;
constexpr int kEndStep = 10;

// The show step's colour: green while the picture is good, blue otherwise.
inline void ShowPictureColour(bool good) {
  SetAllLEDOff();
  if (good)
    SetGreenLedOn();
  else
    SetBlueLedOn();
}

// The end step's colour: blue while the match holds, dark otherwise.
inline void ShowEndColour(bool match_holds) {
  SetAllLEDOff();
  if (match_holds) SetBlueLedOn();
}

}  // namespace led_cadence
