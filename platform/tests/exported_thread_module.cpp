// A library loaded with dlopen that creates and starts a thread through the loading program's platform classes.
#include "platform/memory_manager.h"
#include "platform/thread.h"

extern "C" {

// The memory manager as this library sees it.
BaseMemoryManager* exported_module_memory_manager() { return BaseMemoryManager::Instance(); }

// Creates, starts and destroys a LinuxThread running entry(argument); the start result.
long long exported_module_start_thread(ThreadEntryFunction entry, void* argument) {
  LinuxThread* thread = NewObject<LinuxThread>();
  if (thread == nullptr) return RESULT_OUT_OF_MEMORY;
  Result result = thread->Create("module", 0, entry, argument);
  if (result == RESULT_OK) result = thread->Start();
  thread->Destroy();
  DeleteObject(thread);
  return result;
}
}
