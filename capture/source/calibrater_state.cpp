// Module state of the calibration and its lock.
#include "calibrater_state.h"

namespace calibrater {

Table AllocateTable(size_t entries) {
  return Table(static_cast<int32_t*>(std::calloc(entries == 0 ? 1 : entries, sizeof(int32_t))));
}

CalibrationParameters& Parameters() {
  static CalibrationParameters parameters;
  return parameters;
}

RemapTables& Tables() {
  static RemapTables tables;
  return tables;
}

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace calibrater
