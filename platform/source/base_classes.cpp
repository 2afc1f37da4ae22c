// Bodies of the abstract base classes: every operation a Linux class does not override is not implemented.
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/thread.h"
#ifndef PLATFORM_WATCHDOG_COPY
#include "platform/mutex.h"
#include "platform/process.h"
#endif

BaseFile::~BaseFile() = default;
Result BaseFile::Create(const char*, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Open(const char*, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Create(const std::string&, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Open(const std::string&, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Create(const wchar_t*, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Open(const wchar_t*, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Close() { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Read(void*, std::size_t, std::size_t*) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Write(const void*, std::size_t, std::size_t*) { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Seek(int, std::int64_t) { return RESULT_NOT_IMPLEMENTED; }
std::uint64_t BaseFile::GetSize() { return 0; }
Result BaseFile::Sync() { return RESULT_NOT_IMPLEMENTED; }
Result BaseFile::Truncate(std::int64_t) { return RESULT_NOT_IMPLEMENTED; }

BaseCommunication::~BaseCommunication() = default;
Result BaseCommunication::Close() { return RESULT_NOT_IMPLEMENTED; }
Result BaseCommunication::Send(const void*, std::size_t, int, std::size_t*) { return RESULT_NOT_IMPLEMENTED; }
Result BaseCommunication::Recv(void*, std::size_t, int, std::size_t*) { return RESULT_NOT_IMPLEMENTED; }
Result BaseCommunication::SendTo(const void*, std::size_t, int, const sockaddr*, socklen_t, std::size_t*) {
  return RESULT_NOT_IMPLEMENTED;
}
Result BaseCommunication::RecvFrom(void*, std::size_t, int, sockaddr*, socklen_t*, std::size_t*) {
  return RESULT_NOT_IMPLEMENTED;
}
int BaseCommunication::GetHandle() { return 0; }

BaseSocket::~BaseSocket() = default;
Result BaseSocket::Shutdown(int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::Create(int, int, int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::Bind(const sockaddr*, socklen_t) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::SetHandle(int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::Listen(int) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::Accept(BaseSocket*) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::Connect(const sockaddr*, socklen_t) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::SetOption(int, int, const void*, socklen_t) { return RESULT_NOT_IMPLEMENTED; }
Result BaseSocket::GetOption(int, int, void*, socklen_t*) { return RESULT_NOT_IMPLEMENTED; }

BaseThread::~BaseThread() = default;
Result BaseThread::Create(const char*, std::size_t, ThreadEntryFunction, void*) { return RESULT_NOT_IMPLEMENTED; }
Result BaseThread::Destroy() { return RESULT_NOT_IMPLEMENTED; }
Result BaseThread::Start() { return RESULT_NOT_IMPLEMENTED; }
Result BaseThread::Suspend() { return RESULT_NOT_IMPLEMENTED; }
Result BaseThread::Resume() { return RESULT_NOT_IMPLEMENTED; }
Result BaseThread::Join() { return RESULT_NOT_IMPLEMENTED; }

#ifndef PLATFORM_WATCHDOG_COPY
BaseMutex::~BaseMutex() = default;
Result BaseMutex::Create() { return RESULT_NOT_IMPLEMENTED; }
Result BaseMutex::Destroy() { return RESULT_NOT_IMPLEMENTED; }
Result BaseMutex::Lock(std::uint32_t) { return RESULT_NOT_IMPLEMENTED; }
Result BaseMutex::Unlock() { return RESULT_NOT_IMPLEMENTED; }

BaseProcess::~BaseProcess() = default;
Result BaseProcess::Create() { return RESULT_NOT_IMPLEMENTED; }
Result BaseProcess::Destroy() { return RESULT_NOT_IMPLEMENTED; }
Result BaseProcess::Start() { return RESULT_NOT_IMPLEMENTED; }
Result BaseProcess::Stop() { return RESULT_NOT_IMPLEMENTED; }
#endif
