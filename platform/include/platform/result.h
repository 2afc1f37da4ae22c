// Status codes returned by every operation of the platform class library.
#pragma once

#include <cstdint>

// 0 on success; a failure is a 32-bit code with the top bit set, sign-extended, so every failure
// is negative whether the caller keeps it in 32 or 64 bits.
typedef std::int64_t Result;

namespace result_detail {
// Builds 0x80000000 | family << 16 | number, sign-extended to 64 bits.
constexpr Result MakeFailure(std::uint32_t family, std::uint32_t number) {
  return static_cast<Result>(static_cast<std::int32_t>(0x80000000u | (family << 16) | number));
}
constexpr std::uint32_t kFamilyGeneral = 0x0000;
constexpr std::uint32_t kFamilySocket = 0x0010;
constexpr std::uint32_t kFamilyFile = 0x0020;
constexpr std::uint32_t kFamilyThread = 0x0040;
}  // namespace result_detail

constexpr Result RESULT_OK = 0;
constexpr Result RESULT_FAILED = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x00);
constexpr Result RESULT_NOT_IMPLEMENTED = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x01);
constexpr Result RESULT_NOT_SUPPORTED = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x02);
constexpr Result RESULT_INVALID_ARGUMENT = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x03);
constexpr Result RESULT_OUT_OF_MEMORY = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x04);
constexpr Result RESULT_TIMEOUT = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x07);
constexpr Result RESULT_BAD_FORMAT = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x17);
constexpr Result RESULT_NOT_READY = result_detail::MakeFailure(result_detail::kFamilyGeneral, 0x18);

constexpr Result RESULT_SOCKET_CREATE = result_detail::MakeFailure(result_detail::kFamilySocket, 0x0A);
constexpr Result RESULT_SOCKET_CLOSE = result_detail::MakeFailure(result_detail::kFamilySocket, 0x0B);
constexpr Result RESULT_SOCKET_SEND = result_detail::MakeFailure(result_detail::kFamilySocket, 0x0C);
constexpr Result RESULT_SOCKET_RECV = result_detail::MakeFailure(result_detail::kFamilySocket, 0x0D);
constexpr Result RESULT_SOCKET_BIND = result_detail::MakeFailure(result_detail::kFamilySocket, 0x0E);
constexpr Result RESULT_SOCKET_LISTEN = result_detail::MakeFailure(result_detail::kFamilySocket, 0x10);
constexpr Result RESULT_SOCKET_ACCEPT = result_detail::MakeFailure(result_detail::kFamilySocket, 0x11);
constexpr Result RESULT_SOCKET_CONNECT = result_detail::MakeFailure(result_detail::kFamilySocket, 0x12);
constexpr Result RESULT_SOCKET_OPTION = result_detail::MakeFailure(result_detail::kFamilySocket, 0x13);
constexpr Result RESULT_SOCKET_BROKEN_PIPE = result_detail::MakeFailure(result_detail::kFamilySocket, 0x17);
constexpr Result RESULT_SOCKET_WOULD_BLOCK = result_detail::MakeFailure(result_detail::kFamilySocket, 0x19);
constexpr Result RESULT_SOCKET_ADDRESS_IN_USE = result_detail::MakeFailure(result_detail::kFamilySocket, 0x1A);
constexpr Result RESULT_SOCKET_ADDRESS_NOT_AVAILABLE = result_detail::MakeFailure(result_detail::kFamilySocket, 0x1B);

constexpr Result RESULT_FILE_CREATE = result_detail::MakeFailure(result_detail::kFamilyFile, 0x00);
constexpr Result RESULT_FILE_OPEN = result_detail::MakeFailure(result_detail::kFamilyFile, 0x01);
constexpr Result RESULT_FILE_CLOSE = result_detail::MakeFailure(result_detail::kFamilyFile, 0x02);
constexpr Result RESULT_FILE_READ = result_detail::MakeFailure(result_detail::kFamilyFile, 0x04);
constexpr Result RESULT_FILE_WRITE = result_detail::MakeFailure(result_detail::kFamilyFile, 0x05);
constexpr Result RESULT_FILE_SEEK = result_detail::MakeFailure(result_detail::kFamilyFile, 0x06);

constexpr Result RESULT_MUTEX_ATTR_INIT = result_detail::MakeFailure(result_detail::kFamilyThread, 0x0A);
constexpr Result RESULT_MUTEX_ATTR_TYPE = result_detail::MakeFailure(result_detail::kFamilyThread, 0x0C);
constexpr Result RESULT_MUTEX_INIT = result_detail::MakeFailure(result_detail::kFamilyThread, 0x0E);
constexpr Result RESULT_MUTEX_DESTROY = result_detail::MakeFailure(result_detail::kFamilyThread, 0x0F);
constexpr Result RESULT_MUTEX_LOCK = result_detail::MakeFailure(result_detail::kFamilyThread, 0x10);
constexpr Result RESULT_MUTEX_UNLOCK = result_detail::MakeFailure(result_detail::kFamilyThread, 0x11);
constexpr Result RESULT_MUTEX_INVALID = result_detail::MakeFailure(result_detail::kFamilyThread, 0x12);
constexpr Result RESULT_THREAD_ATTR_INIT = result_detail::MakeFailure(result_detail::kFamilyThread, 0x28);
constexpr Result RESULT_THREAD_ATTR_SET = result_detail::MakeFailure(result_detail::kFamilyThread, 0x2A);
constexpr Result RESULT_THREAD_CREATE = result_detail::MakeFailure(result_detail::kFamilyThread, 0x2C);
