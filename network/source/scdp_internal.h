// State shared by the control protocol's server and client files.
#pragma once

#include <mutex>

#include "pelarin/scdp.h"

namespace pelarin {

// The client's session list; null until SCDPInit(2).
extern ClientSessionList* g_scdp_clients;
// Serialises every client operation: one exchange (send and its reply) at a time, and the list.
extern std::mutex g_scdp_client_lock;

// Handles a reply element for a client: copies its value into this thread's reply buffer.
int ScdpTakeReply(const uint8_t* element, uint32_t remaining, ScdpReplyView* reply);
// Composes head + one element of `type` around a payload.
int ScdpCompose(uint8_t type, const uint8_t* payload, uint32_t length, uint8_t* buffer, uint32_t capacity,
                uint32_t* packet_length);

}  // namespace pelarin
