// Shared state of the image stream's server and client halves inside the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "pelarin/stip.h"

namespace pelarin {

struct StipServerState {
  ServerSocketTable* tables[kServerNorbImage + 1] = {};
  pthread_mutex_t locks[kServerNorbImage + 1] = {};
  bool lock_made[kServerNorbImage + 1] = {};
  uint32_t color_bit_rate = 0;  // bits per second for each client's encoder; 0 the default
  bool up = false;
  // Capture side since set-up: images written and the longest wait for a ring lock, logged at
  // tear-down so a stalled writer shows in the log.
  std::atomic<uint64_t> writes{0};
  std::atomic<int64_t> longest_lock_wait_ns{0};
};

extern StipServerState g_stip;
// Held shared by every call that touches the server state, exclusively by init and uninit: a
// call after uninit finds `up` false instead of destroyed locks.
extern std::shared_mutex g_stip_life;

bool StipImageServerType(unsigned type);
// True when the port's ring counts kStipMaxClientsPerPort streaming clients.
bool StipPortStreamsToItsCap(unsigned type);
const char* StipRingName(unsigned type);
int StipLockRing(unsigned type, int timeout_ms);
int StipUnlockRing(unsigned type);
// Server side of STIPAnalysisPacket: control requests only.
int StipServerAnalysis(int server_fd, int fd, unsigned type, const uint8_t* buffer, uint32_t length);
// Client side of STIPAnalysisPacket: the connection's byte stream.
int StipClientAnalysis(int fd, int channel, const uint8_t* buffer, uint32_t length);
// Client half's set-up and tear-down.
int StipClientInit(void);
void StipClientUnInit(void);
// Closes every client connection of the three channels.
void StipClientCloseAll(void);
// Releases a client's encoder and send buffers.
void StipClientRelease(StipClientState* client);
// Makes *buffer hold at least `size` bytes, reusing it when it is large enough; false when out of memory.
bool StipReserve(uint8_t** buffer, uint32_t* capacity, uint32_t size);
// Writes the 41 bytes of head and ImagePara element for `header` at `out`.
void StipWriteImageHead(const ImagePara& header, uint8_t* out);

}  // namespace pelarin
