// A program exporting its platform classes: a library it loads with dlopen starts a LinuxThread from them.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <future>

#include "platform/memory_manager.h"
#include "platform/thread.h"

namespace {
typedef BaseMemoryManager* (*ManagerFunction)();
typedef long long (*StartFunction)(ThreadEntryFunction, void*);

void* ReportThreadId(void* argument) {
  static_cast<std::promise<std::int64_t>*>(argument)->set_value(LinuxThread::GetCurrentThreadId());
  return nullptr;
}

// Where the code at address comes from.
std::string ObjectOf(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
}
}  // namespace

class ExportedPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = dlopen(PLATFORM_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (module_ != nullptr) dlclose(module_);
  }
  void* module_ = nullptr;
};

TEST_F(ExportedPlatform, LoadedLibraryUsesTheProgramsMemoryManager) {
  auto manager = reinterpret_cast<ManagerFunction>(dlsym(module_, "exported_module_memory_manager"));
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager(), BaseMemoryManager::Instance());
}

TEST_F(ExportedPlatform, LoadedLibraryStartsAThreadWithTheProgramsLinuxThread) {
  auto start = reinterpret_cast<StartFunction>(dlsym(module_, "exported_module_start_thread"));
  ASSERT_NE(start, nullptr);
  std::promise<std::int64_t> reported;
  std::future<std::int64_t> thread_id = reported.get_future();
  ASSERT_EQ(start(ReportThreadId, &reported), RESULT_OK);
  EXPECT_NE(thread_id.get(), LinuxThread::GetCurrentThreadId());
}

TEST_F(ExportedPlatform, LibraryHoldsNoCopyOfTheClasses) {
  // Looked up in the library and its own dependencies only: the definitions must not be there.
  for (const char* symbol : {"_ZN17BaseMemoryManager8InstanceEv", "_ZN11LinuxThread5StartEv", "_ZN11LinuxThreadC1Ev"}) {
    EXPECT_EQ(dlsym(module_, symbol), nullptr) << symbol;
  }
  // The program itself exports them.
  void* program = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(program, nullptr);
  for (const char* symbol : {"_ZN17BaseMemoryManager8InstanceEv", "_ZN11LinuxThread5StartEv", "_ZN11LinuxThreadC1Ev",
                             "_ZN11LinuxThread6CreateEPKcmPFPvS2_ES2_", "_ZN11LinuxThread7DestroyEv"}) {
    void* address = dlsym(program, symbol);
    EXPECT_NE(address, nullptr) << symbol;
    EXPECT_EQ(ObjectOf(address), ObjectOf(reinterpret_cast<const void*>(&ReportThreadId))) << symbol;
  }
  dlclose(program);
}
