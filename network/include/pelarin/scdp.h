// Control protocol: requests and replies over TCP, each a packet head and one KeyValue
// (request) or KeyValueACK (reply) element; the server hands requests to the program's callback.
#pragma once

#include <cstdint>

#include "pelarin/socket.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

enum ScdpMode : int { kScdpServerMode = 1, kScdpClientMode = 2 };

constexpr uint32_t kScdpReplyBufferBytes = 4096;
// The reply payload stands behind the packet head and the element head.
constexpr uint32_t kScdpReplyPayloadOffset = 13;
constexpr int kScdpReplyWaitMillis = 10000;
// Zero bytes behind every request copy handed to the callback, so a short payload read as a
// full command frame stays inside the copy.
constexpr uint32_t kScdpRequestPadding = 64;
// Largest reply value a client accepts.
constexpr uint32_t kScdpMaxReplyValueBytes = 1u << 20;

// The reply record handed to the control callback.
struct tagACKMsgPara {
  int32_t reply_flag;  // the callback sets 1 when a reply is to be sent
  uint8_t* buffer;     // where the callback writes the reply payload
  uint32_t capacity;   // bytes available at buffer
  uint32_t used_size;  // payload bytes the callback wrote
};

typedef int (*RecvCtrlMsgFunc)(const char* payload, int length, void* ctx, tagACKMsgPara* reply);

// A request of a client: the peer's address, the payload.
struct ScdpRequest {
  char ip[kAddressTextBytes];
  const uint8_t* payload;
  uint32_t length;
};

// The reply a client received: valid until this thread's next request.
struct ScdpReplyView {
  uint8_t* payload;
  uint32_t length;
};

int SCDPProtocolInit(void);
int SCDPProtocolUnInit(void);
int SCDPInit(int mode);
int SCDPUnInit(void);
int SCDPRegisterRecvCtrlMsg(RecvCtrlMsgFunc callback, void* context);

// Server.
int SCDPServerCreateSession(const char* address, uint32_t port);
int SCDPServerCloseSession(void);
int SCDPServerAddClient(int server_fd, int fd);
int SCDPServerRemoveClient(int fd);
int SCDPServerGetSocketFD(int* fd);
int SCDPServerGetMaxSocketFD(int* fd);
int SCDPServeretFdSet(fd_set* read_set, fd_set* write_set);
ServerSocketTable* SCDPServerGetSocketFDInfo(void);
int SCDPServerShowClient(void);
int SCDPCloseAllSession(void);

// Client.
int SCDPClientConnectSession(const char* address, uint32_t port);
int SCDPClientExist(const char* address);
int SCDPClientCloseSession(const char* address);
int SCDPClientGetSocketFD(const char* address, int* fd);
int SCDPClientSendCtrl(const ScdpRequest* request, ScdpReplyView* reply);
int SCDPClientSendCtrlWithoutACK(const ScdpRequest* request);

// Packets.
int SCDPPackageKeyValuePacket(const uint8_t* payload, uint32_t length, uint8_t* buffer, uint32_t capacity,
                              uint32_t* packet_length);
int SCDPPackageKeyValueACKPacket(const uint8_t* payload, uint32_t length, uint8_t* buffer, uint32_t capacity,
                                 uint32_t* packet_length);
// Parses one received block. With a null reply view (the server) a reply element is ignored.
int SCDPAnalysisPacket(int fd, const uint8_t* data, uint32_t length, ScdpReplyView* reply);
int SCDPSendCtrlACKMsg(int fd, uint8_t* buffer, uint32_t capacity, uint32_t payload_length);

}  // extern "C"

LIBRARY_EXPORTS_END
