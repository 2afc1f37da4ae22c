// Object-stream packets built by hand from the wire layout, and a collector of received blocks.
#pragma once

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net_helpers.h"
#include "pelarin/stop.h"

namespace nettest {

inline void PutWord(std::vector<uint8_t>* v, size_t at, uint32_t word) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = static_cast<uint8_t>(word >> (24 - 8 * i));
}

// Head, ObjectPara element (address, kind, declared size, count) and the data.
inline std::vector<uint8_t> ObjectPacket(uint32_t kind, uint32_t count, const std::vector<uint8_t>& data,
                                         uint32_t declared_size) {
  constexpr size_t kValueBytes = 52;
  std::vector<uint8_t> value(kValueBytes, 0);
  const char address[] = "127.0.0.1";
  memcpy(value.data(), address, sizeof address);
  PutWord(&value, 40, kind);
  PutWord(&value, 44, declared_size);
  PutWord(&value, 48, count);
  std::vector<uint8_t> p = Packet(kElementObjectPara, value);
  p.insert(p.end(), data.begin(), data.end());
  return p;
}
inline std::vector<uint8_t> ObjectPacket(uint32_t kind, uint32_t count, const std::vector<uint8_t>& data) {
  return ObjectPacket(kind, count, data, static_cast<uint32_t>(data.size()));
}

// Control packet: command type, command, error, reserved bytes.
inline std::vector<uint8_t> CtrlObjectPacket(uint16_t command_type, uint16_t command) {
  std::vector<uint8_t> value(12, 0);
  value[0] = static_cast<uint8_t>(command_type >> 8);
  value[1] = static_cast<uint8_t>(command_type);
  value[2] = static_cast<uint8_t>(command >> 8);
  value[3] = static_cast<uint8_t>(command);
  return Packet(kElementCtrlObject, value);
}

inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed * 131 + i * 17 + (i >> 8));
  return b;
}

struct ReceivedBlock {
  std::string address;
  uint32_t kind;
  uint32_t count;
  std::vector<uint8_t> data;
};

// Collects the blocks the object-stream client delivers.
class BlockCollector {
 public:
  // STOPInit clears the callback: construct (or Attach) after it.
  BlockCollector() { Attach(); }
  void Attach() { STOPRegisterRecvImageFunc(&BlockCollector::OnBlock, this); }
  ~BlockCollector() { STOPRegisterRecvImageFunc(nullptr, nullptr); }
  std::vector<ReceivedBlock> Blocks() {
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_.size();
  }

 private:
  static void OnBlock(const ObjectPara* header, unsigned kind, unsigned char* data, unsigned size, unsigned count,
                      void* ctx) {
    BlockCollector* self = static_cast<BlockCollector*>(ctx);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->blocks_.push_back({header->ip_address, kind, count, std::vector<uint8_t>(data, data + size)});
  }
  std::mutex lock_;
  std::vector<ReceivedBlock> blocks_;
};

}  // namespace nettest
