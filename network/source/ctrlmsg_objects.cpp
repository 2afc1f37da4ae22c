// Detected-object records sent over the object stream, and calibration files moved with "adb".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <endian.h>

#include "pelarin/ctrlmsg.h"
#include "pelarin/result_codes.h"
#include "pelarin/stop.h"

namespace {

// Field widths of one object record, in order (232 bytes).
struct FieldRun {
  uint32_t width;
  uint32_t count;
};
constexpr FieldRun kObjectRecordLayout[] = {{8, 1}, {4, 2}, {8, 1}, {4, 10}, {8, 2}, {4, 6}, {8, 16}};

constexpr uint32_t LayoutBytes() {
  uint32_t total = 0;
  for (const FieldRun& run : kObjectRecordLayout) total += run.width * run.count;
  return total;
}
static_assert(LayoutBytes() == kObjectRecordBytes, "object record layout");

// Converts one record to big-endian, field by field.
void RecordToBigEndian(uint8_t* record) {
  for (const FieldRun& run : kObjectRecordLayout) {
    for (uint32_t i = 0; i < run.count; ++i, record += run.width) {
      if (run.width == sizeof(uint64_t)) {
        uint64_t v;
        memcpy(&v, record, sizeof(v));
        v = htobe64(v);
        memcpy(record, &v, sizeof(v));
      } else {
        uint32_t v;
        memcpy(&v, record, sizeof(v));
        v = htobe32(v);
        memcpy(record, &v, sizeof(v));
      }
    }
  }
}

// One shell argument in single quotes, each quote inside closed, escaped and reopened.
std::string Quoted(const char* text) {
  std::string out = "'";
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\'') {
      out += "'\\''";
    } else {
      out += *p;
    }
  }
  out += "'";
  return out;
}

// Runs one command line and prints it with its result; a line that does not fit the command
// area is refused and not run. False when it was not run.
bool RunLine(const std::string& line) {
  if (line.size() >= kCtrlShellLineBytes) {
    printf("%.64s..., refused: command longer than %u bytes\n", line.c_str(), kCtrlShellLineBytes - 1);
    return false;
  }
  const int result = system(line.c_str());
  printf("%s, SystemResult=%d\n", line.c_str(), result);
  fflush(stdout);
  return true;
}

// connect, the transfer, disconnect; the transfer is tried only when connect ran.
int TransferFile(const char* ip, const char* verb, const char* from, const char* to) {
  if (ip == nullptr || from == nullptr || to == nullptr) return kQeltUnsupported;
  if (!RunLine("adb connect " + Quoted(ip))) return kQeltUnsupported;
  RunLine(std::string("adb ") + verb + " " + Quoted(from) + " " + Quoted(to));
  RunLine("adb disconnect " + Quoted(ip));
  return kQeltUnsupported;
}

}  // namespace

extern "C" {

int QeltNorbSendObjectInfo(const char* ip, unsigned kind, unsigned count, void* records) {
  if (ip == nullptr || (records == nullptr && count > 0)) return kQeltNullArgument;
  ObjectPara para{};
  if (strnlen(ip, sizeof(para.ip_address)) >= sizeof(para.ip_address)) return kQeltBadAddress;
  if (count > kMaxObjectCount) return kQeltInvalid;
  const uint32_t size = count * kObjectRecordBytes;
  // A copy is swapped, so the caller's records stay in host order and can be sent again.
  std::vector<uint8_t> wire(size);
  if (size > 0) memcpy(wire.data(), records, size);
  for (uint32_t i = 0; i < count; ++i) RecordToBigEndian(wire.data() + i * kObjectRecordBytes);
  strcpy(para.ip_address, ip);
  para.kind = kind;
  para.data_size = size;
  para.object_count = count;
  return QELTMSendObject(&para, wire.data(), size);
}

int QeltGetZuqCalibrateFile(const char* ip, const char* device_path, const char* local_path) {
  return TransferFile(ip, "pull", device_path, local_path);
}

int QeltSetZuqCalibrateFile(const char* ip, const char* device_path, const char* local_path) {
  return TransferFile(ip, "push", local_path, device_path);
}

}  // extern "C"
