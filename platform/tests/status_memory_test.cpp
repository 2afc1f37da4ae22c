// Status codes, the memory manager and the time and string helpers.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
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

TEST(TimeHelpers, MicrosecondsOfATimevalAndAMonotonicTimeThatNeverGoesBack) {
  const timeval t{2, 500};
  EXPECT_EQ(TimevalToMicroseconds(&t), 2000500u);
  timeval first{};
  timeval second{};
  EXPECT_EQ(GetMonotonicTime(&first), RESULT_OK);
  EXPECT_EQ(GetMonotonicTime(&second), RESULT_OK);
  EXPECT_GE(first.tv_usec, 0);
  EXPECT_LT(first.tv_usec, 1000000);
  EXPECT_GE(TimevalToMicroseconds(&second), TimevalToMicroseconds(&first));
}

TEST(StringHelpers, TextIsCopiedWideTextCutAtMaxBytesAndNullGivesEmpty) {
  EXPECT_EQ(StringFromChars("camera"), "camera");
  EXPECT_EQ(StringFromChars(nullptr), "");
  EXPECT_EQ(StringFromWideChars(L"heartbeat", 4), "hear");
  EXPECT_EQ(StringFromWideChars(L"ok", 16), "ok");
  EXPECT_EQ(StringFromWideChars(nullptr, 16), "");
  // In the "C" locale characters beyond ASCII cannot be converted: an empty string, not a part.
  std::setlocale(LC_CTYPE, "C");
  EXPECT_EQ(StringFromWideChars(L"caf\u00e9", 16), "");
}
