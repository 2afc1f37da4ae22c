// The status LEDs through the board's driver files, until the LED library is linked into this tree.
#include "status_led.h"

#include <cstdio>

#include "board/board_root.h"

namespace {

constexpr const char* kLedPaths[] = {"/proc/R_LED/R_LED", "/proc/G_LED/G_LED", "/proc/B_LED/B_LED"};
constexpr int kLedCount = 3;
constexpr int kRedLed = 0;
// The LEDs are active low.
constexpr int kLedLit = '0';
constexpr int kLedDark = '1';

FILE* g_led_files[kLedCount] = {nullptr, nullptr, nullptr};

void WriteLed(int led, int state) {
  if (g_led_files[led] == nullptr) return;
  std::fputc(state, g_led_files[led]);
  std::fflush(g_led_files[led]);
}

}  // namespace

extern "C" {

void OpenAllLED() {
  for (int led = 0; led < kLedCount; ++led) {
    if (g_led_files[led] != nullptr) std::fclose(g_led_files[led]);
    g_led_files[led] = std::fopen(board::MapPath(kLedPaths[led]).c_str(), "w+");
  }
}

void CloseAllLED() {
  for (FILE*& file : g_led_files) {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
  }
}

void SetAllLEDOff() {
  for (int led = 0; led < kLedCount; ++led) WriteLed(led, kLedDark);
}

void SetRedLedOn() { WriteLed(kRedLed, kLedLit); }

}  // extern "C"
