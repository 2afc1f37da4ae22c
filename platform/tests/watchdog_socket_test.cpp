// The watchdog's copy of the socket class: bind failures with their own codes.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace {
sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Result BindLoopback(LinuxSocket& socket, std::uint16_t port) {
  const sockaddr_in address = Loopback(port);
  return socket.Bind(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}
}  // namespace

TEST(WatchdogBind, AddressInUseHasItsOwnCode) {
  LinuxSocket first;
  LinuxSocket second;
  ASSERT_EQ(first.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault), RESULT_OK);
  ASSERT_EQ(BindLoopback(first, 0), RESULT_OK);
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  getsockname(first.GetHandle(), reinterpret_cast<sockaddr*>(&bound), &length);
  ASSERT_EQ(second.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault), RESULT_OK);
  EXPECT_EQ(BindLoopback(second, ntohs(bound.sin_port)), RESULT_SOCKET_ADDRESS_IN_USE);
  first.Close();
  second.Close();
}

TEST(WatchdogBind, AddressNotAvailableHasItsOwnCode) {
  // Inside a fresh, isolated network namespace the IPv6 address ::2 is not local, so it is not
  // available; nothing is sent anywhere.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) _exit(77);
    LinuxSocket socket;
    if (socket.Create(kSocketFamilyIPv6, kSocketTypeDatagram, kSocketProtocolDefault) != RESULT_OK) _exit(2);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::2", &address.sin6_addr);
    const Result result = socket.Bind(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    socket.Close();
    _exit(result == RESULT_SOCKET_ADDRESS_NOT_AVAILABLE ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no permission to create a network namespace";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
