// Server socket tables: the slots of one server's accepted clients on a free and a used chain.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "log_limit.h"
#include "pelarin/socket.h"

namespace {

constexpr int kNoSocket = 0;

void BuildChains(ServerSocketTable* table) {
  for (uint32_t i = 0; i < kMaxClientsPerServer; ++i) {
    ClientSlot& slot = table->slots[i];
    slot.prev = i == 0 ? kNoSlot : i - 1;
    slot.next = i + 1 == kMaxClientsPerServer ? kNoSlot : i + 1;
  }
  table->first_free = 0;
  table->last_free = kMaxClientsPerServer - 1;
  table->first_used = kNoSlot;
  table->last_used = kNoSlot;
}

void AppendToFreeChain(ServerSocketTable* table, uint32_t index) {
  ClientSlot& slot = table->slots[index];
  slot.next = kNoSlot;
  slot.prev = table->last_free;
  if (table->last_free == kNoSlot) {
    table->first_free = index;
  } else {
    table->slots[table->last_free].next = index;
  }
  table->last_free = index;
}

void ReleaseSlot(ServerSocketTable* table, ClientSlot& slot, bool close_socket) {
  if (close_socket && slot.state == 1) {
    close(slot.fd);
    if (table->free_data_callback != nullptr) table->free_data_callback(&slot);
    free(slot.protocol_data);
  }
  free(slot.buffer);
  slot = ClientSlot{};
}

}  // namespace

extern "C" {

int SocketFDInit(ServerSocketTable* table) {
  if (table == nullptr) return kQeltNullArgument;
  memset(table, 0, sizeof *table);
  BuildChains(table);
  return kQeltOk;
}

int AddServerSocket(ServerSocketTable* table, int server_fd, uint32_t port) {
  if (table == nullptr) return kQeltNullArgument;
  if (table->in_use == 1) {
    if (table->server_fd == server_fd && table->port == port) return kQeltOk;
    ClientSocketFDInit(table, 1);
  }
  table->server_fd = server_fd;
  table->max_fd = server_fd;
  table->in_use = 1;
  table->port = port;
  table->client_count = 0;
  SocketNoteServerRunning(1);
  return kQeltOk;
}

ClientSlot* AddClientSocket(ServerSocketTable* table, int fd) {
  if (table == nullptr || table->first_free == kNoSlot) return nullptr;
  const uint32_t index = table->first_free;
  ClientSlot& slot = table->slots[index];
  table->first_free = slot.next;
  if (table->first_free == kNoSlot) {
    table->last_free = kNoSlot;
  } else {
    table->slots[table->first_free].prev = kNoSlot;
  }
  slot.fd = fd;
  slot.state = 1;
  slot.next = kNoSlot;
  slot.prev = table->last_used;
  if (table->last_used == kNoSlot) {
    table->first_used = index;
  } else {
    table->slots[table->last_used].next = index;
  }
  table->last_used = index;
  if (fd > table->max_fd) table->max_fd = fd;
  ++table->client_count;
  // Out of memory leaves the slot without a buffer; its next receive reads nothing and removes it.
  slot.buffer = static_cast<uint8_t*>(calloc(kClientReceiveBufferBytes, 1));
  slot.buffer_capacity = slot.buffer != nullptr ? kClientReceiveBufferBytes : 0;
  slot.used_length = 0;
  slot.accepted_ms = pelarin::SteadyMillis();
  slot.last_request_ms = slot.accepted_ms;
  slot.unheard = 1;
  return &slot;
}

int RemoveClientSocket(ServerSocketTable* table, int fd) {
  if (table == nullptr) return kQeltNoServerSocket;
  const uint32_t index = SearchSocketIndex(table, fd);
  if (table->client_count == 0 || index == kNoSlot) return kQeltClientFailed;
  ClientSlot& slot = table->slots[index];
  if (slot.prev == kNoSlot) {
    table->first_used = slot.next;
  } else {
    table->slots[slot.prev].next = slot.next;
  }
  if (slot.next == kNoSlot) {
    table->last_used = slot.prev;
  } else {
    table->slots[slot.next].prev = slot.prev;
  }
  // The protocol's remove function takes protocol_data before this and frees it.
  free(slot.buffer);
  slot = ClientSlot{};
  AppendToFreeChain(table, index);
  --table->client_count;
  SocketNoteFreedMemory();
  return kQeltOk;
}

int ClientSocketFDInit(ServerSocketTable* table, int close_sockets) {
  if (table == nullptr) return kQeltNullArgument;
  for (ClientSlot& slot : table->slots) ReleaseSlot(table, slot, close_sockets != 0);
  BuildChains(table);
  SocketNoteFreedMemory();
  if (close_sockets != 0 && table->in_use == 1 && table->server_fd != kNoSocket) close(table->server_fd);
  if (table->in_use == 1) SocketNoteServerRunning(0);
  table->server_fd = kNoSocket;
  table->max_fd = 0;
  table->in_use = 0;
  table->port = 0;
  table->client_count = 0;
  return kQeltOk;
}

int RemoveServerSocket(ServerSocketTable* table) {
  if (table == nullptr) return kQeltNullArgument;
  return ClientSocketFDInit(table, 1);
}

int SocketFDUnInit(ServerSocketTable* table) {
  if (table == nullptr) return kQeltNullArgument;
  if (table->in_use == 1) return ClientSocketFDInit(table, 1);
  return kQeltOk;
}

int GetFdSetByServerSocket(ServerSocketTable* table, fd_set* read_set, fd_set* write_set) {
  if (table == nullptr) return kQeltNoServerSocket;
  if (table->client_count == 0) return kQeltClientFailed;
  for (uint32_t i = table->first_used; i != kNoSlot; i = table->slots[i].next) {
    const int fd = table->slots[i].fd;
    if (fd < 0 || fd >= FD_SETSIZE) {
      Socketlog(2, "Socket fd %d does not fit a select set\n", fd);
      continue;
    }
    if (read_set != nullptr) FD_SET(fd, read_set);
    if (write_set != nullptr) FD_SET(fd, write_set);
  }
  return kQeltOk;
}

int SocketPollSetBuild(ServerSocketTable* table, ServerPollSet* set, short events) {
  if (table == nullptr || set == nullptr) return kQeltNullArgument;
  set->count = 0;
  set->fds[set->count++] = pollfd{table->server_fd, POLLIN, 0};
  for (uint32_t i = 0; i < kMaxClientsPerServer; ++i) set->position_of_slot[i] = kNoSlot;
  for (uint32_t i = table->first_used; i != kNoSlot; i = table->slots[i].next) {
    set->position_of_slot[i] = static_cast<uint16_t>(set->count);
    set->fds[set->count++] = pollfd{table->slots[i].fd, events, 0};
  }
  return kQeltOk;
}

int GetMaxFdByServerSocket(ServerSocketTable* table, int* out) {
  if (table == nullptr) return kQeltNoServerSocket;
  if (out != nullptr) *out = table->max_fd;
  return kQeltOk;
}

int SocketGetServerSocketFD(ServerSocketTable* table) { return table != nullptr ? table->server_fd : 0; }

uint32_t SearchSocketIndex(ServerSocketTable* table, int fd) {
  if (table == nullptr) return kNoSlot;
  for (uint32_t i = table->first_used; i != kNoSlot; i = table->slots[i].next) {
    if (table->slots[i].fd == fd) return i;
  }
  return kNoSlot;
}

ClientSlot* SocketGetClientFDInfo(ServerSocketTable* table, int fd) {
  const uint32_t index = SearchSocketIndex(table, fd);
  return index == kNoSlot ? nullptr : &table->slots[index];
}

int ShowClientFreeSocket(ServerSocketTable* table) {
  if (table == nullptr) return kQeltNullArgument;
  for (uint32_t i = table->first_free; i != kNoSlot; i = table->slots[i].next) {
    Socketlog(0, "Client free index %d, Pre %d, Next %d\n", i, table->slots[i].prev, table->slots[i].next);
  }
  Socketlog(0, "First free %d, Last free %d\n", table->first_free, table->last_free);
  return kQeltOk;
}

int ShowClientUseSocket(ServerSocketTable* table) {
  if (table == nullptr) return kQeltNullArgument;
  if (table->in_use != 1) return kQeltOk;
  for (uint32_t i = table->first_used; i != kNoSlot; i = table->slots[i].next) {
    const ClientSlot& s = table->slots[i];
    Socketlog(0, "Client use index %d, client fd is %d, Pre %d, Next %d\n", i, s.fd, s.prev, s.next);
  }
  Socketlog(0, "Client number %d, first use %d, last use %d\n", table->client_count, table->first_used,
            table->last_used);
  return kQeltOk;
}

int ShowServerSocket(ServerSocketTable* table) {
  if (table == nullptr) return kQeltNullArgument;
  Socketlog(0, "Socket fd %d, client free index %d\n", table->server_fd, table->first_free);
  return kQeltOk;
}

}  // extern "C"
