// Control protocol: set-up, packets, analysis of received blocks and the server side.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "log_limit.h"
#include "packet_head_log.h"
#include "pelarin/packet.h"
#include "scdp_internal.h"

namespace pelarin {

ClientSessionList* g_scdp_clients = nullptr;
std::mutex g_scdp_client_lock;

namespace {

// The server's reply buffer: used only on the control thread. Its size never changes, so the
// capacity offered to the callback is always kScdpReplyBufferBytes - 13.
uint8_t* g_server_reply = nullptr;
ServerSocketTable* g_server_table = nullptr;

std::mutex g_callback_lock;
RecvCtrlMsgFunc g_callback = nullptr;
void* g_callback_context = nullptr;

constexpr int kServerFlags = kServerFlagKeepAlive;

void LogHead(const uint8_t* data, uint32_t length) { LogPacketHead("[SCDP]", data, length); }

ServerSocketTable* ServerTable() { return g_server_table; }
int OpsAddClient(int server_fd, int fd) { return SCDPServerAddClient(server_fd, fd); }
int OpsRemoveClient(int, int fd) { return SCDPServerRemoveClient(fd); }
int OpsAnalysis(int, int fd, const uint8_t* data, uint32_t length) { return SCDPAnalysisPacket(fd, data, length, nullptr); }

// A request may fill the whole receive buffer; a connection is new until its first request.
const ServerProtocolOps kControlServerOps = {ServerTable, OpsAddClient, OpsRemoveClient, OpsAnalysis, nullptr,
                                             SCDPServerShowClient, 0, nullptr, nullptr};

// A reply that could not go out whole would leave the peer a torn stream: the connection ends.
void CloseAfterTornReply(int fd) {
  if (g_server_table == nullptr || SocketGetClientFDInfo(g_server_table, fd) == nullptr) return;
  QELTM_LOG_LIMITED(2, "[SCDP]Reply not sent whole, client socket fd %d closed\n", fd);
  SCDPServerRemoveClient(fd);
}

// Hands one request to the callback and sends its reply on the same connection.
int HandleRequest(int fd, const uint8_t* element, uint32_t remaining) {
  uint32_t consumed = 0;
  int rc = AnalysisPacketHandler[kElementKeyValue](element, remaining, nullptr, 0, &consumed);
  if (rc != kQeltOk) {
    QELTM_LOG_LIMITED(2, "[SCDP]Request element does not fit the %u bytes received, dropped\n", remaining);
    return rc;
  }
  const uint32_t length = consumed - kElementHeadBytes;
  uint8_t* copy = static_cast<uint8_t*>(calloc(uint64_t{length} + kScdpRequestPadding, 1));
  if (copy == nullptr) return kQeltOutOfMemory;
  rc = AnalysisPacketHandler[kElementKeyValue](element, remaining, copy, length, &consumed);
  RecvCtrlMsgFunc callback;
  void* context;
  {
    std::lock_guard<std::mutex> guard(g_callback_lock);
    callback = g_callback;
    context = g_callback_context;
  }
  if (rc == kQeltOk && callback != nullptr && g_server_reply != nullptr) {
    memset(g_server_reply, 0, kScdpReplyBufferBytes);
    tagACKMsgPara ack{0, g_server_reply + kScdpReplyPayloadOffset, kScdpReplyBufferBytes - kScdpReplyPayloadOffset, 0};
    callback(reinterpret_cast<const char*>(copy), static_cast<int>(length), context, &ack);
    QELTM_LOG_LIMITED(0, "[SCDP]Recv ack module %d from app\n", ack.reply_flag);
    if (ack.reply_flag == 1) {
      if (ack.used_size > kScdpReplyBufferBytes - kScdpReplyPayloadOffset) {
        QELTM_LOG_LIMITED(2, "[SCDP]Reply of %u bytes exceeds the reply buffer, not sent\n", ack.used_size);
      } else {
        QELTM_LOG_LIMITED(0, "[SCDP]Send requery ack, UseSize is %d\n", ack.used_size);
        if (SCDPSendCtrlACKMsg(fd, g_server_reply, kScdpReplyBufferBytes, ack.used_size) != kQeltOk) {
          free(copy);
          CloseAfterTornReply(fd);
          return rc;
        }
      }
    }
  }
  free(copy);
  return rc;
}

}  // namespace

int ScdpCompose(uint8_t type, const uint8_t* payload, uint32_t length, uint8_t* buffer, uint32_t capacity,
                uint32_t* packet_length) {
  if (payload == nullptr || buffer == nullptr || packet_length == nullptr) return kQeltNullArgument;
  return PacketComposeOne(type, payload, length, buffer, capacity, packet_length);
}

}  // namespace pelarin

using namespace pelarin;

extern "C" {

int SCDPProtocolInit(void) {
  if (g_server_reply == nullptr) {
    g_server_reply = static_cast<uint8_t*>(calloc(kScdpReplyBufferBytes, 1));
    if (g_server_reply == nullptr) return kQeltOutOfMemory;
  }
  SCDPRegisterRecvCtrlMsg(nullptr, nullptr);
  return kQeltOk;
}

int SCDPProtocolUnInit(void) {
  free(g_server_reply);
  g_server_reply = nullptr;
  SCDPRegisterRecvCtrlMsg(nullptr, nullptr);
  return kQeltOk;
}

int SCDPInit(int mode) {
  if (mode != kScdpServerMode && mode != kScdpClientMode) return kQeltOk;
  int rc = SCDPProtocolInit();
  if (rc != kQeltOk) return rc;
  if (mode == kScdpServerMode) {
    if (g_server_table == nullptr) {
      g_server_table = static_cast<ServerSocketTable*>(malloc(sizeof(ServerSocketTable)));
      if (g_server_table == nullptr) {
        SCDPProtocolUnInit();
        return kQeltOutOfMemory;
      }
      SocketFDInit(g_server_table);
    }
    ServerProtocolRegister(kServerControl, &kControlServerOps);
    return kQeltOk;
  }
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  if (g_scdp_clients == nullptr) {
    g_scdp_clients = static_cast<ClientSessionList*>(malloc(sizeof(ClientSessionList)));
    if (g_scdp_clients == nullptr) {
      SCDPProtocolUnInit();
      return kQeltOutOfMemory;
    }
    SocketInitClientHead(g_scdp_clients);
  }
  return kQeltOk;
}

int SCDPUnInit(void) {
  {
    std::lock_guard<std::mutex> guard(g_scdp_client_lock);
    if (g_scdp_clients != nullptr) SockeRemoveAllClientFromList(g_scdp_clients);
    free(g_scdp_clients);
    g_scdp_clients = nullptr;
  }
  if (g_server_table != nullptr) RemoveServerSocket(g_server_table);
  free(g_server_table);
  g_server_table = nullptr;
  return SCDPProtocolUnInit();
}

int SCDPRegisterRecvCtrlMsg(RecvCtrlMsgFunc callback, void* context) {
  std::lock_guard<std::mutex> guard(g_callback_lock);
  g_callback = callback;
  g_callback_context = context;
  return kQeltOk;
}

int SCDPServerCreateSession(const char* address, uint32_t port) {
  int fd = 0;
  int rc = TCPServerInit(address, port, &fd, kServerFlags);
  if (rc != kQeltOk) return rc;
  rc = AddServerSocket(g_server_table, fd, port);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[SCDP]SCDP server create seesion failed, ip address:%s, port:%d\n", address != nullptr ? address : "any",
             port);
    close(fd);
  }
  return rc;
}

int SCDPServerCloseSession(void) { return RemoveServerSocket(g_server_table); }

int SCDPServerAddClient(int server_fd, int fd) {
  if (g_server_table == nullptr) {
    Qeltmlog(2, "[SCDP]SCDP get server fd failed\n");
    return kQeltNoServerSocket;
  }
  if (g_server_table->server_fd != server_fd) {
    Qeltmlog(2, "[SCDP]SCDP server Create session failed, server socket is not the same,old server fd:%d, new server fd %d\n",
             g_server_table->server_fd, server_fd);
    return kQeltNoServerSocket;
  }
  if (AddClientSocket(g_server_table, fd) == nullptr) {
    QELTM_LOG_LIMITED(2, "[SCDP]SCDP server add client failed\n");
    return kQeltServerFull;  // the only way the add fails: every slot is taken
  }
  return kQeltOk;
}

int SCDPServerRemoveClient(int fd) {
  const int rc = RemoveClientSocket(g_server_table, fd);
  QELTM_LOG_LIMITED(0, "[SCDP]SCDP server remove client, client socket fd: %d, return code: %d\n", fd, rc);
  close(fd);
  return rc;
}

int SCDPServerGetSocketFD(int* fd) {
  if (g_server_table == nullptr) {
    Qeltmlog(2, "[SCDP]SCDP get server fd failed\n");
    return kQeltNoServerSocket;
  }
  if (fd != nullptr) *fd = g_server_table->server_fd;
  return kQeltOk;
}

int SCDPServerGetMaxSocketFD(int* fd) {
  if (g_server_table == nullptr) {
    Qeltmlog(2, "[SCDP]SCDP get server fd failed\n");
    return kQeltNoServerSocket;
  }
  return GetMaxFdByServerSocket(g_server_table, fd);
}

int SCDPServeretFdSet(fd_set* read_set, fd_set* write_set) {
  if (g_server_table == nullptr) {
    Qeltmlog(2, "[SCDP]SCDP get socket fd set failed\n");
    return kQeltNoServerSocket;
  }
  return GetFdSetByServerSocket(g_server_table, read_set, write_set);
}

ServerSocketTable* SCDPServerGetSocketFDInfo(void) { return g_server_table; }

int SCDPServerShowClient(void) {
  ShowClientUseSocket(g_server_table);
  return kQeltOk;
}

int SCDPCloseAllSession(void) {
  {
    std::lock_guard<std::mutex> guard(g_scdp_client_lock);
    if (g_scdp_clients != nullptr) SockeRemoveAllClientFromList(g_scdp_clients);
  }
  if (g_server_table != nullptr) RemoveServerSocket(g_server_table);
  return kQeltOk;
}

int SCDPPackageKeyValuePacket(const uint8_t* payload, uint32_t length, uint8_t* buffer, uint32_t capacity,
                              uint32_t* packet_length) {
  return ScdpCompose(kElementKeyValue, payload, length, buffer, capacity, packet_length);
}

int SCDPPackageKeyValueACKPacket(const uint8_t* payload, uint32_t length, uint8_t* buffer, uint32_t capacity,
                                 uint32_t* packet_length) {
  return ScdpCompose(kElementKeyValueACK, payload, length, buffer, capacity, packet_length);
}

int SCDPAnalysisPacket(int fd, const uint8_t* data, uint32_t length, ScdpReplyView* reply) {
  if (data == nullptr) return kQeltNullArgument;
  int rc = CheckPacketDefaultHead(data, length, nullptr, 0, nullptr);
  if (rc != kQeltOk) {
    LogHead(data, length);
    return rc;
  }
  if (length <= kPacketHeadBytes) return kQeltInvalid;
  const uint8_t type = data[kPacketHeadBytes];
  if (type >= kFirstInvalidElementType) return kQeltBadElementType;
  QELTM_LOG_LIMITED(0, "[SCDP]Rcv ctrl msg type 0x%x\n", type);
  const uint8_t* element = data + kPacketHeadBytes;
  const uint32_t remaining = length - kPacketHeadBytes;
  if (type == kElementKeyValue) return HandleRequest(fd, element, remaining);
  if (type == kElementKeyValueACK) {
    // A reply sent to the server is not a request: it never touches the server's reply buffer.
    if (reply == nullptr) return kQeltOk;
    return ScdpTakeReply(element, remaining, reply);
  }
  return kQeltOk;
}

int SCDPSendCtrlACKMsg(int fd, uint8_t* buffer, uint32_t capacity, uint32_t payload_length) {
  if (buffer == nullptr) return kQeltNullArgument;
  if (uint64_t{kScdpReplyPayloadOffset} + payload_length > capacity) return kQeltBufferTooSmall;
  SetPacketHandler[kElementDefaultHead](buffer, capacity, nullptr, 0);
  // The payload already stands at offset 13: the element builder moves it onto itself.
  const uint32_t length = kPacketHeadBytes + SetPacketHandler[kElementKeyValueACK](
                                                  buffer + kPacketHeadBytes, capacity - kPacketHeadBytes,
                                                  buffer + kScdpReplyPayloadOffset, payload_length);
  uint32_t sent = 0;
  const int rc = SendPacketFragment(fd, buffer, length, &sent);
  if (rc == kQeltOk && sent < length) {
    QELTM_LOG_LIMITED(2, "[SCDP]Reply sent only in part: %u of %u bytes\n", sent, length);
    return kQeltWouldBlock;
  }
  return rc;
}

}  // extern "C"
