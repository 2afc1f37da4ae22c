// Result codes of the network library: every exported function returns one of these (0 success).
#pragma once
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

enum QeltResult : int {
  kQeltOk = 0,
  kQeltBadAddress = 1,           // address text not valid; also EADDRNOTAVAIL
  kQeltSocketCreateFailed = 2,
  kQeltNonblockingFailed = 3,
  kQeltConnectFailed = 4,
  kQeltFault = 9,                // EFAULT
  kQeltInProgress = 10,          // EINPROGRESS
  kQeltInvalid = 11,             // EINVAL; also an element whose declared length does not fit
  kQeltNoProtocolOption = 13,    // ENOPROTOOPT
  kQeltNotSocket = 15,           // ENOTSOCK
  kQeltBadDescriptor = 16,       // EBADF
  kQeltAddressFamily = 18,       // EAFNOSUPPORT
  kQeltAlreadyConnected = 19,    // EISCONN
  kQeltTimedOut = 20,            // ETIMEDOUT
  kQeltRefused = 21,             // ECONNREFUSED
  kQeltNetUnreachable = 22,      // ENETUNREACH
  kQeltAddressInUse = 23,        // EADDRINUSE
  kQeltAlready = 24,             // EALREADY
  kQeltOtherError = 25,          // any other errno
  kQeltSendUnexpected = 26,
  kQeltSelectTimeout = 27,
  kQeltOutOfMemory = 32,
  kQeltServerFull = 34,
  kQeltNoServerSocket = 35,
  kQeltClientFailed = 36,        // client not added / not found / peer closed the control connection
  kQeltNullArgument = 38,
  kQeltUnknownDevice = 39,
  kQeltPermission = 41,          // EPERM
  kQeltWouldBlock = 42,          // EAGAIN
  kQeltBroadcastOption = 43,
  kQeltBufferTooSmall = 44,
  kQeltHeadTooShort = 46,        // also: broadcast could not be sent
  kQeltHeadWrong = 47,
  kQeltSameDevice = 48,          // discovery: the address is already listed
  kQeltBadElementType = 49,
  kQeltNoSession = 50,
  kQeltPeerClosed = 51,
  kQeltSelectFailed = 52,
  kQeltUnknownServerType = 53,
  kQeltRingEmpty = 54,
  kQeltRingSlotBusy = 55,
  kQeltImageWriteFailed = 56,
  kQeltMutexCreate = 59,
  kQeltMutexDestroy = 60,
  kQeltMutexInvalid = 61,
  kQeltMutexLock = 62,
  kQeltMutexBusy = 63,
  kQeltMutexUnlock = 64,
  kQeltUnsupported = 66,
  kQeltSessionExists = 68,
  kQeltNoSuchSession = 69,
};

LIBRARY_EXPORTS_END
