// One control exchange: build the request frame, send it to a peer, check the reply's frame.
#pragma once

#include <cstdint>

namespace ctrlmsg {

// A checked reply: its payload (inside the control client's reply buffer) and its result word.
struct Reply {
  const uint8_t* payload = nullptr;
  uint32_t length = 0;
  uint32_t result = 0;
  uint32_t data_length = 0;
  uint32_t Word(uint32_t index) const;
};

// Sends the request of `command` with `data` to `ip` and waits for the reply. 38 null address,
// 1 an address that does not fit, the exchange's code, 11 a reply shorter than `min_reply` or
// one that is no reply to `command` (a stale answer is discarded).
int Exchange(const char* ip, uint32_t command, const uint8_t* data, uint32_t length, uint32_t min_reply,
             Reply* reply);

}  // namespace ctrlmsg
