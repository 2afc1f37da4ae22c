// Server tables and client lists: chain bookkeeping against a plain model, limits, resets that
// close what they own, select sets that never take oversized descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <list>
#include <memory>
#include <random>

#include "net_helpers.h"
#include "pelarin/socket.h"

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

std::unique_ptr<ServerSocketTable> NewTable() {
  auto table = std::make_unique<ServerSocketTable>();
  SocketFDInit(table.get());
  return table;
}

// The slots of a chain (used or free) from its first slot on.
std::vector<uint32_t> Chain(const ServerSocketTable& t, uint32_t first) {
  std::vector<uint32_t> chain;
  for (uint32_t i = first; i != kNoSlot; i = t.slots[i].next) chain.push_back(i);
  return chain;
}

TEST(ServerTable, ChainsFollowAPlainModel) {
  auto table = NewTable();
  AddServerSocket(table.get(), 3, 1234);
  std::deque<uint32_t> model_free;
  for (uint32_t i = 0; i < kMaxClientsPerServer; ++i) model_free.push_back(i);
  std::list<std::pair<uint32_t, int>> model_used;  // slot, fd
  std::mt19937 rng(7);
  int next_fd = 100000;
  for (int step = 0; step < 20000; ++step) {
    const bool add = model_used.empty() || (model_free.size() > 0 && rng() % 3 != 0);
    if (add) {
      ClientSlot* slot = AddClientSocket(table.get(), next_fd);
      ASSERT_NE(nullptr, slot);
      ASSERT_EQ(model_free.front(), static_cast<uint32_t>(slot - table->slots));
      model_used.emplace_back(model_free.front(), next_fd++);
      model_free.pop_front();
    } else {
      auto it = model_used.begin();
      std::advance(it, rng() % model_used.size());
      ASSERT_EQ(kQeltOk, RemoveClientSocket(table.get(), it->second));
      model_free.push_back(it->first);
      model_used.erase(it);
    }
    ASSERT_EQ(model_used.size(), table->client_count);
  }
  std::vector<uint32_t> used;
  for (const auto& u : model_used) used.push_back(u.first);
  EXPECT_EQ(used, Chain(*table, table->first_used));
  EXPECT_EQ(std::vector<uint32_t>(model_free.begin(), model_free.end()), Chain(*table, table->first_free));
  ClientSocketFDInit(table.get(), 0);
}

TEST(ServerTable, FullTableRefusesThe1025thClientAndReusesTheSlotFreedLast) {
  auto table = NewTable();
  AddServerSocket(table.get(), 3, 1);
  for (uint32_t i = 0; i < kMaxClientsPerServer; ++i) ASSERT_NE(nullptr, AddClientSocket(table.get(), 1000 + i));
  EXPECT_EQ(nullptr, AddClientSocket(table.get(), 5000));
  EXPECT_EQ(static_cast<int>(1000 + kMaxClientsPerServer - 1), table->max_fd);
  ASSERT_EQ(kQeltOk, RemoveClientSocket(table.get(), 1000 + 500));
  ClientSlot* slot = AddClientSocket(table.get(), 5000);
  ASSERT_NE(nullptr, slot);
  EXPECT_EQ(500, slot - table->slots);
  EXPECT_EQ(kClientReceiveBufferBytes, slot->buffer_capacity);
  ClientSocketFDInit(table.get(), 0);
}

TEST(ServerTable, RemovingUnknownClientsReportsCodes) {
  auto table = NewTable();
  EXPECT_EQ(kQeltNoServerSocket, RemoveClientSocket(nullptr, 5));
  EXPECT_EQ(kQeltClientFailed, RemoveClientSocket(table.get(), 5));
  AddClientSocket(table.get(), 6);
  EXPECT_EQ(kQeltClientFailed, RemoveClientSocket(table.get(), 5));
  EXPECT_EQ(kNoSlot, SearchSocketIndex(table.get(), 5));
  EXPECT_EQ(nullptr, AddClientSocket(nullptr, 5));
  ClientSocketFDInit(table.get(), 0);
}

int g_freed_protocol_data = 0;
void CountFree(ClientSlot*) { ++g_freed_protocol_data; }

TEST(ServerTable, ResetWithClosingClosesEverySocketAndFreesProtocolData) {
  auto table = NewTable();
  int marker = 0;
  table->server_data = &marker;
  table->free_data_callback = CountFree;
  const int server = eventfd(0, 0);
  AddServerSocket(table.get(), server, 77);
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(eventfd(0, 0));
    ClientSlot* slot = AddClientSocket(table.get(), clients.back());
    slot->protocol_data = malloc(16);
  }
  g_freed_protocol_data = 0;
  ASSERT_EQ(kQeltOk, RemoveServerSocket(table.get()));
  for (int fd : clients) EXPECT_FALSE(IsOpen(fd));
  EXPECT_FALSE(IsOpen(server));
  EXPECT_EQ(3, g_freed_protocol_data);
  EXPECT_EQ(&marker, table->server_data);
  EXPECT_EQ(CountFree, table->free_data_callback);
  EXPECT_EQ(0u, table->in_use);
  EXPECT_EQ(kMaxClientsPerServer, Chain(*table, table->first_free).size());
}

TEST(ServerTable, NewServerSocketResetsTheOldOne) {
  auto table = NewTable();
  const int first = eventfd(0, 0), client = eventfd(0, 0), second = eventfd(0, 0);
  AddServerSocket(table.get(), first, 1);
  AddClientSocket(table.get(), client);
  AddServerSocket(table.get(), first, 1);  // same socket and port: nothing happens
  EXPECT_EQ(1u, table->client_count);
  AddServerSocket(table.get(), second, 2);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_FALSE(IsOpen(client));
  EXPECT_EQ(0u, table->client_count);
  EXPECT_EQ(second, table->server_fd);
  RemoveServerSocket(table.get());
}

TEST(ServerTable, SelectSetTakesNoDescriptorBeyondItsSize) {
  auto table = NewTable();
  nettest::LogCapture log;
  AddServerSocket(table.get(), 3, 1);
  AddClientSocket(table.get(), 7);
  AddClientSocket(table.get(), FD_SETSIZE + 500);
  fd_set read_set, write_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  EXPECT_EQ(kQeltOk, GetFdSetByServerSocket(table.get(), &read_set, &write_set));
  EXPECT_TRUE(FD_ISSET(7, &read_set));
  EXPECT_TRUE(FD_ISSET(7, &write_set));
  EXPECT_EQ(1u, log.Count("Socket fd"));
  ServerPollSet set;
  SocketPollSetBuild(table.get(), &set, POLLIN);
  ASSERT_EQ(3u, set.count);
  EXPECT_EQ(FD_SETSIZE + 500, set.fds[set.position_of_slot[1]].fd);
  ClientSocketFDInit(table.get(), 0);
}

TEST(ClientList, SameAddressWithAnotherSocketKeepsOneNodeAndClosesTheOldSocket) {
  ClientSessionList list;
  SocketInitClientHead(&list);
  const int a = eventfd(0, 0), b = eventfd(0, 0), c = eventfd(0, 0);
  ASSERT_EQ(kQeltOk, SocketAddClientToList(&list, "127.0.0.1", a, nullptr));
  ASSERT_EQ(kQeltOk, SocketAddClientToList(&list, "127.0.0.2", c, nullptr));
  ASSERT_EQ(kQeltOk, SocketAddClientToList(&list, "127.0.0.1", b, nullptr));
  EXPECT_EQ(2u, list.count);
  EXPECT_FALSE(IsOpen(a));
  ClientSession* node = nullptr;
  SocketFindClientList(&list, "127.0.0.1", &node);
  ASSERT_NE(nullptr, node);
  EXPECT_EQ(b, node->fd);
  EXPECT_EQ(node, list.first);
  EXPECT_EQ(1, SocketClientExist(&list, "127.0.0.2"));
  EXPECT_EQ(kQeltOk, SockeRemoveClientFromList(&list, "127.0.0.2"));
  EXPECT_FALSE(IsOpen(c));
  EXPECT_EQ(0, SocketClientExist(&list, "127.0.0.2"));
  EXPECT_EQ(kQeltOk, SockeRemoveClientFromList(&list, "10.9.9.9"));
  SocketUnInitClientHead(&list);
  EXPECT_FALSE(IsOpen(b));
  EXPECT_EQ(0u, list.count);
  EXPECT_EQ(kQeltNullArgument, SocketAddClientToList(nullptr, "x", 1, nullptr));
}

TEST(ErrorCodes, UnlistedErrnoIsOtherErrorAndLogged) {
  nettest::LogCapture log;
  EXPECT_EQ(kQeltOtherError, SocketMapErrno(ENOBUFS));
  EXPECT_EQ(1u, log.Count("Other error code is"));
}

}  // namespace
