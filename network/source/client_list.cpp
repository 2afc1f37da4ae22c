// Client session lists: the connections a client role has made, keyed by the peer's address.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "pelarin/socket.h"

namespace {

bool SameAddress(const ClientSession* node, const char* address) {
  return strncmp(node->ip_address, address, kAddressTextBytes) == 0;
}

void Unlink(ClientSessionList* head, ClientSession* node) {
  if (node->prev != nullptr) node->prev->next = node->next; else head->first = node->next;
  if (node->next != nullptr) node->next->prev = node->prev; else head->last = node->prev;
  --head->count;
}

void FreeNode(ClientSession* node) {
  close(node->fd);
  free(node->header);
  free(node->data);
  free(node);
}

}  // namespace

extern "C" {

int SocketInitClientHead(ClientSessionList* head) {
  if (head == nullptr) return kQeltNullArgument;
  *head = ClientSessionList{};
  return kQeltOk;
}

int SockeRemoveAllClientFromList(ClientSessionList* head) {
  if (head == nullptr) return kQeltNullArgument;
  ClientSession* node = head->first;
  while (node != nullptr) {
    ClientSession* next = node->next;
    FreeNode(node);
    node = next;
  }
  *head = ClientSessionList{};
  return kQeltOk;
}

int SocketUnInitClientHead(ClientSessionList* head) { return SockeRemoveAllClientFromList(head); }

int SocketAddClientToList(ClientSessionList* head, const char* address, int fd, int (*init)(ClientSession* node)) {
  if (head == nullptr || address == nullptr) return kQeltNullArgument;
  ClientSession* existing = nullptr;
  SocketFindClientList(head, address, &existing);
  if (existing != nullptr) {
    if (existing->fd != fd) {
      close(existing->fd);
      existing->fd = fd;
    }
    return kQeltOk;
  }
  ClientSession* node = static_cast<ClientSession*>(calloc(1, sizeof(ClientSession)));
  if (node == nullptr) return kQeltOutOfMemory;
  node->fd = fd;
  strncpy(node->ip_address, address, kAddressTextBytes - 1);
  if (init != nullptr) init(node);
  node->prev = head->last;
  if (head->last != nullptr) head->last->next = node; else head->first = node;
  head->last = node;
  ++head->count;
  return kQeltOk;
}

int SocketFindClientList(ClientSessionList* head, const char* address, ClientSession** node) {
  if (head == nullptr || node == nullptr) return kQeltNullArgument;
  *node = nullptr;
  if (address == nullptr) return kQeltNullArgument;
  for (ClientSession* n = head->first; n != nullptr; n = n->next) {
    if (SameAddress(n, address)) {
      *node = n;
      break;
    }
  }
  return kQeltOk;
}

int SocketClientExist(ClientSessionList* head, const char* address) {
  ClientSession* node = nullptr;
  SocketFindClientList(head, address, &node);
  return node != nullptr ? 1 : 0;
}

int SockeRemoveClientFromList(ClientSessionList* head, const char* address) {
  if (head == nullptr) return kQeltNullArgument;
  ClientSession* node = nullptr;
  SocketFindClientList(head, address, &node);
  if (node == nullptr) return kQeltOk;
  Unlink(head, node);
  FreeNode(node);
  return kQeltOk;
}

int SockeRemoveClientByClientInfo(ClientSessionList* head, ClientSession* node) {
  if (head == nullptr || node == nullptr) return kQeltNullArgument;
  Unlink(head, node);
  FreeNode(node);
  return kQeltOk;
}

int SocketShowClientList(ClientSessionList* head) {
  if (head == nullptr) return kQeltNullArgument;
  Socketlog(0, "Socket client number %d\n", head->count);
  for (ClientSession* n = head->first; n != nullptr; n = n->next) {
    Socketlog(0, "Socket client ip address %s, socket fd %d\n", n->ip_address, n->fd);
  }
  if (head->first != nullptr) {
    Socketlog(0, "First Socket client ip address %s, socket fd %d\n", head->first->ip_address, head->first->fd);
    Socketlog(0, "Last Socket client ip address %s, socket fd %d\n", head->last->ip_address, head->last->fd);
  }
  for (ClientSession* n = head->last; n != nullptr; n = n->prev) {
    Socketlog(0, "Socket client ip address %s, socket fd %d\n", n->ip_address, n->fd);
  }
  return kQeltOk;
}

}  // extern "C"
