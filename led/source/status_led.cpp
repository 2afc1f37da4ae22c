// Status LEDs through the board's three driver files, mapped under the board root.
#include "status_led.h"

#include "board/board_root.h"

extern "C" {
FILE* RedLedFp = nullptr;
FILE* GreenLedFp = nullptr;
FILE* BlueLedFp = nullptr;
}

namespace {

constexpr const char* kRedLedPath = "/proc/R_LED/R_LED";
constexpr const char* kGreenLedPath = "/proc/G_LED/G_LED";
constexpr const char* kBlueLedPath = "/proc/B_LED/B_LED";
constexpr const char* kDriverOpenMode = "w+";

// The LEDs are active low.
constexpr int kLedLit = '0';
constexpr int kLedDark = '1';

// Replaces an open handle by a fresh one of the mapped driver file (null when it does not open).
void OpenLed(FILE*& handle, const char* board_path) {
  if (handle != nullptr) fclose(handle);
  handle = fopen(board::MapPath(board_path).c_str(), kDriverOpenMode);
}

void CloseLed(FILE*& handle) {
  if (handle == nullptr) return;
  fclose(handle);
  handle = nullptr;
}

// One state change reaches the driver at once: one character, then a flush.
void WriteLed(FILE* handle, int state) {
  if (handle == nullptr) return;
  fputc(state, handle);
  fflush(handle);
}

void WriteAll(int state) {
  WriteLed(RedLedFp, state);
  WriteLed(BlueLedFp, state);
  WriteLed(GreenLedFp, state);
}

}  // namespace

extern "C" {

void OpenAllLED() {
  OpenLed(RedLedFp, kRedLedPath);
  OpenLed(BlueLedFp, kBlueLedPath);
  OpenLed(GreenLedFp, kGreenLedPath);
}

void CloseAllLED() {
  CloseLed(RedLedFp);
  CloseLed(BlueLedFp);
  CloseLed(GreenLedFp);
}

void SetAllLEDOn() { WriteAll(kLedLit); }
void SetAllLEDOff() { WriteAll(kLedDark); }
void SetRedLedOn() { WriteLed(RedLedFp, kLedLit); }
void SetRedLedOff() { WriteLed(RedLedFp, kLedDark); }
void SetGreenLedOn() { WriteLed(GreenLedFp, kLedLit); }
void SetGreenLedOff() { WriteLed(GreenLedFp, kLedDark); }
void SetBlueLedOn() { WriteLed(BlueLedFp, kLedLit); }
void SetBlueLedOff() { WriteLed(BlueLedFp, kLedDark); }

}  // extern "C"
