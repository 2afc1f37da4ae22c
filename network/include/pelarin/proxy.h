// Proxy threads: the long-lived threads that run every server and client loop of the library,
// their CPU pinning, their start and stop protocol, and the server pass they share.
#pragma once

#include <cstdint>

#include "pelarin/socket.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// The threads, in the order StopAllProxyProcess stops them.
enum ProxyThreadId : uint32_t {
  kProxyNorbImage = 0,
  kProxyYrdImage,
  kProxyCtrlAndBroadcast,
  kProxyBroadcastClient,
  kProxyEnterZuqClient,
  kProxyExitZuqClient,
  kProxyStopServer,
  kProxyStopClient,
  kProxyThreadCount
};

// State word of a thread: 0 stop requested (or never started), 1 running its loop, 2 left it.
enum ProxyThreadState : int { kProxyIdle = 0, kProxyRunning = 1, kProxyExited = 2 };

// A protocol's step for a thread whose work it owns (client receive, discovery answer).
// It gets the thread's receive buffer (null when the thread has none) and returns non-zero to
// make the thread leave its loop.
typedef int (*ProxyStepFunc)(uint8_t* buffer, uint32_t capacity);
int ProxyRegisterStep(uint32_t thread, ProxyStepFunc step);

// Starts a thread (joinable; its stopper joins it). 0, or the errno code when it cannot start.
// A thread that already runs is left alone (0).
int ProxyThreadStart(uint32_t thread);
int ProxyThreadGetState(uint32_t thread);

// Thread bodies; started by ProxyThreadStart or directly with a null argument.
void* NORBImageProxyProcess(void* arg);
void* YRDImageProxyProcess(void* arg);
void* CtrlAndBroadCastProxyProcess(void* arg);
void* STOPServerProxyProcess(void* arg);
void* STOPClientProxyProcess(void* arg);
void* EnterZUQClientProxyProcess(void* arg);
void* ExitZUQClientProxyProcess(void* arg);
void* BroadCastClientProxyProcess(void* arg);

// Stoppers: request the stop, wait until the thread has left its loop, join it.
void StopNORBImageProxyProcess(void);
void StopYRDImageProxyProcess(void);
void StopCtrlAndBroadCastProxyProcess(void);
void ExitSTOPServerProxyProcess(void);
void ExitSTOPClientProxyProcess(void);
void StopEnterZUQClientProxyProcess(void);
void StopExitZUQClientProxyProcess(void);
void StopBroadCastClientProxyProcess(void);
void StopAllProxyProcess(void);

// One pass of a server thread: accept, receive, send.
void ServerProxyProcess(uint32_t server_type);
int NewClientProcess(int server_fd, uint32_t server_type, int* max_fd);

// Where TCPClientReceiveProxyProcess hands an image stream connection's bytes: the image
// stream's client analysis, registered by that protocol.
typedef int (*ClientStreamAnalysisFunc)(int fd, const uint8_t* data, uint32_t length, int resync);
int ProxyRegisterClientStreamAnalysis(ClientStreamAnalysisFunc analysis);
// One receive step of an image stream client connection: 0 after handing bytes on, 27 when
// nothing arrived within 100 microseconds, 51 when the peer closed, 42 or 52 on a wait error.
int TCPClientReceiveProxyProcess(int fd, uint8_t* buffer, uint32_t length, int resync);

// Dispatch by server type to the protocol that owns it (53 outside 1..4).
int ServerProxyAddClient(int server_fd, int fd, uint32_t server_type);
int ServerProxyShowClient(uint32_t server_type);
int ServerProxyGetServerSocketFD(uint32_t server_type, int* fd);
int ServerProxyGetMaxFd(uint32_t server_type, int* fd);
int ServerProxyGetFdSet(uint32_t server_type, fd_set* read_set, fd_set* write_set);

}  // extern "C"

LIBRARY_EXPORTS_END
