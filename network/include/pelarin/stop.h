// Object stream: blocks of detected-object records sent over TCP from one ring to every client
// that switched the stream on, and the client side that reassembles the blocks.
#pragma once

#include <sys/select.h>
#include <cstdint>

#include "pelarin/packet.h"
#include "pelarin/socket.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

constexpr int kStopServerMode = 1;
constexpr int kStopClientMode = 2;
constexpr uint32_t kStopRingSlots = 4;
constexpr uint32_t kObjectRecordBytes = 232;
// The wire keeps 16 bits of the record count, which bounds a block.
constexpr uint32_t kMaxObjectCount = 0xFFFF;
constexpr uint32_t kMaxObjectBlockBytes = kMaxObjectCount * kObjectRecordBytes;
constexpr uint32_t kObjectPacketHeadBytes = 65;  // head, ObjectPara element head and value
constexpr uint32_t kStopCtrlPacketBytes = 25;    // head, CtrlObject element head and value
constexpr uint32_t kStopCtrlBufferBytes = 100;
constexpr uint32_t kStopClientReceiveBytes = 204800;

enum StopCommandType : uint16_t { kStopRequest = 1, kStopAcknowledge = 2 };
enum StopCommand : uint16_t { kStopStart = 1, kStopStop = 2 };
enum StopStreamState : uint16_t { kStopConnected = 0, kStopStreaming = 1, kStopStopped = 2 };

// Called once per complete block; header and data are valid during the call only. The callback
// runs on the client receive thread with the connection list locked: it must not connect or
// close object-stream sessions.
typedef void (*RecvObjectFunc)(const ObjectPara* header, unsigned int kind, unsigned char* data, unsigned int size,
                               unsigned int count, void* ctx);

struct ObjectRing;
struct StopClientState;

int STOPInit(int mode);
int STOPUnInit(void);

// ---- server ----
int STOPServerCreateSession(const char* ip, unsigned port, unsigned type);
int STOPServerAddClient(int server_fd, int client_fd, unsigned type);
int STOPServerRemoveClient(int server_fd, int client_fd, unsigned type);
StopClientState* STOPServerGetClientData(int server_fd, int client_fd, unsigned type);
ObjectRing* STOPServerGetServerData(unsigned type);
ServerSocketTable* STOPServerGetSocketFDInfo(void);
int STOPServerGetSocketFD(unsigned type, int* fd);
int STOPServerGetMaxSocketFD(unsigned type, int* fd);
int STOPServeretFdSet(unsigned type, fd_set* read_set, fd_set* write_set);
int STOPServerShowClient(unsigned type);
int STOPServerCloseSession(void);
// Copies a block into the ring; 38 null arguments, 11 a block or count beyond the wire's bound.
int STOPServerWriteObejct(const ObjectPara* header, const void* data, unsigned size);
int STOPServerSendProcess(ClientSlot* slot, unsigned type);
int STOPAnalysisPacket(int server_fd, int fd, unsigned type, const uint8_t* buffer, uint32_t length);
int STOPServerLockNORBData(void);
int STOPServerUnlockNORBData(void);
int STOPCloseAllSession(void);
void STOPFreeProtocolData(ClientSlot* slot);
// Start/stop bookkeeping of one decoded request against a client record.
int STOPRequeryCtrlPacketProcess(StopClientState* client, const CtrlObject* request);
// Streaming readers of the ring (tests and diagnostics).
uint32_t STOPServerReaderCount(void);

// ---- client ----
int STOPClientConnectSession(const char* ip, unsigned port);
int STOPClientCloseSession(const char* ip);
ClientSession* STOPClientGetInfoList(int fd);
int STOPGetClientSocketFD(const char* ip, int* fd);
int STOPClientSendCtrlImageMsg(const char* ip, const CtrlObject* record);
int STOPClientReceiveProxyProcess(int fd, uint8_t* buffer, uint32_t length);
int STOPClientReceivePacketProcess(uint8_t* buffer, uint32_t length);
// Continuation bytes of the block being received on a connection (no head at their start).
int STOPRecvRemainderImagePacket(int fd, const uint8_t* buffer, uint32_t length);
int STOPRegisterRecvImageFunc(RecvObjectFunc fn, void* ctx);
int STOPRecvImageFuncInit(void);
int STOPMallocInfoHeadFunc(ClientSession* node);

}  // extern "C"

LIBRARY_EXPORTS_END
