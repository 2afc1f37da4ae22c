// Status codes, the memory manager and the time and string helpers.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "platform/memory_manager.h"
#include "platform/result.h"

TEST(StatusCodes, FailuresAreNegativeInThirtyTwoAndSixtyFourBits) {
  EXPECT_EQ(RESULT_SOCKET_BROKEN_PIPE, -2146435049);
  EXPECT_EQ(static_cast<std::int32_t>(RESULT_SOCKET_BROKEN_PIPE), -2146435049);
  for (Result code : {RESULT_FAILED, RESULT_NOT_IMPLEMENTED, RESULT_BAD_FORMAT, RESULT_SOCKET_ADDRESS_NOT_AVAILABLE,
                      RESULT_FILE_SEEK, RESULT_THREAD_CREATE}) {
    EXPECT_LT(code, 0);
    EXPECT_LT(static_cast<std::int32_t>(code), 0);
  }
}

TEST(StatusCodes, ValuesMatchTheTable) {
  const std::pair<Result, std::uint32_t> table[] = {
      {RESULT_FAILED, 0x80000000u},           {RESULT_NOT_IMPLEMENTED, 0x80000001u},
      {RESULT_NOT_SUPPORTED, 0x80000002u},    {RESULT_INVALID_ARGUMENT, 0x80000003u},
      {RESULT_OUT_OF_MEMORY, 0x80000004u},    {RESULT_TIMEOUT, 0x80000007u},
      {RESULT_BAD_FORMAT, 0x80000017u},       {RESULT_NOT_READY, 0x80000018u},
      {RESULT_SOCKET_CREATE, 0x8010000Au},    {RESULT_SOCKET_CLOSE, 0x8010000Bu},
      {RESULT_SOCKET_SEND, 0x8010000Cu},      {RESULT_SOCKET_RECV, 0x8010000Du},
      {RESULT_SOCKET_BIND, 0x8010000Eu},      {RESULT_SOCKET_LISTEN, 0x80100010u},
      {RESULT_SOCKET_ACCEPT, 0x80100011u},    {RESULT_SOCKET_CONNECT, 0x80100012u},
      {RESULT_SOCKET_OPTION, 0x80100013u},    {RESULT_SOCKET_BROKEN_PIPE, 0x80100017u},
      {RESULT_SOCKET_WOULD_BLOCK, 0x80100019u}, {RESULT_SOCKET_ADDRESS_IN_USE, 0x8010001Au},
      {RESULT_SOCKET_ADDRESS_NOT_AVAILABLE, 0x8010001Bu}, {RESULT_FILE_CREATE, 0x80200000u},
      {RESULT_FILE_OPEN, 0x80200001u},        {RESULT_FILE_CLOSE, 0x80200002u},
      {RESULT_FILE_READ, 0x80200004u},        {RESULT_FILE_WRITE, 0x80200005u},
      {RESULT_FILE_SEEK, 0x80200006u},        {RESULT_MUTEX_ATTR_INIT, 0x8040000Au},
      {RESULT_MUTEX_ATTR_TYPE, 0x8040000Cu},  {RESULT_MUTEX_INIT, 0x8040000Eu},
      {RESULT_MUTEX_DESTROY, 0x8040000Fu},    {RESULT_MUTEX_LOCK, 0x80400010u},
      {RESULT_MUTEX_UNLOCK, 0x80400011u},     {RESULT_MUTEX_INVALID, 0x80400012u},
      {RESULT_THREAD_ATTR_INIT, 0x80400028u}, {RESULT_THREAD_ATTR_SET, 0x8040002Au},
      {RESULT_THREAD_CREATE, 0x8040002Cu},
  };
  std::set<Result> distinct;
  for (const auto& [code, expected] : table) {
    EXPECT_EQ(static_cast<std::uint32_t>(code), expected);
    distinct.insert(code);
  }
  EXPECT_EQ(distinct.size(), std::size(table));
}

TEST(MemoryManager, InstanceIsTheSameFromRacingThreads) {
  constexpr int kThreads = 8;
  std::vector<BaseMemoryManager*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int index = 0; index < kThreads; ++index) {
    threads.emplace_back([&seen, index] { seen[index] = BaseMemoryManager::Instance(); });
  }
  for (auto& thread : threads) thread.join();
  for (BaseMemoryManager* instance : seen) EXPECT_EQ(instance, BaseMemoryManager::Instance());
  EXPECT_NE(BaseMemoryManager::Instance(), nullptr);
}

TEST(MemoryManager, AllocatesWritableBlocksAndIgnoresNullFree) {
  BaseMemoryManager* manager = BaseMemoryManager::Instance();
  constexpr std::size_t kOddSize = 4099;
  unsigned char* block = static_cast<unsigned char*>(manager->Allocate(kOddSize));
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xA5, kOddSize);
  EXPECT_EQ(block[kOddSize - 1], 0xA5);
  manager->Free(block);
  manager->Free(nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
// Under the address sanitizer a failed non-throwing allocation must still give null, as it does
// without the sanitizer, rather than end the test program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

TEST(MemoryManager, ImpossibleAllocationGivesNullInsteadOfThrowing) {
  EXPECT_EQ(BaseMemoryManager::Instance()->Allocate(static_cast<std::size_t>(-1) / 2), nullptr);
}

TEST(TimeHelpers, MicrosecondsOfTwoSecondsAndFiveHundredMicroseconds) {
  const timeval t{2, 500};
  EXPECT_EQ(TimevalToMicroseconds(&t), 2000500u);
}

TEST(TimeHelpers, MonotonicTimeIsNormalisedAndNeverGoesBack) {
  timeval first{};
  timeval second{};
  EXPECT_EQ(GetMonotonicTime(&first), RESULT_OK);
  EXPECT_EQ(GetMonotonicTime(&second), RESULT_OK);
  EXPECT_GE(first.tv_usec, 0);
  EXPECT_LT(first.tv_usec, 1000000);
  EXPECT_GE(TimevalToMicroseconds(&second), TimevalToMicroseconds(&first));
}

TEST(TimeHelpers, InfiniteTimeoutIsAllOnes) { EXPECT_EQ(InfiniteTimeout(), 0xFFFFFFFFu); }

TEST(StringHelpers, CopiesNarrowText) {
  EXPECT_EQ(StringFromChars("camera"), "camera");
  EXPECT_EQ(StringFromChars(nullptr), "");
}

TEST(StringHelpers, WideTextIsCutAtMaxBytes) {
  EXPECT_EQ(StringFromWideChars(L"heartbeat", 4), "hear");
  EXPECT_EQ(StringFromWideChars(L"ok", 16), "ok");
  EXPECT_EQ(StringFromWideChars(nullptr, 16), "");
}

TEST(StringHelpers, UnconvertibleWideTextGivesEmptyString) {
  // In the "C" locale characters beyond ASCII cannot be converted.
  std::setlocale(LC_CTYPE, "C");
  EXPECT_EQ(StringFromWideChars(L"caf\u00e9", 16), "");
}
