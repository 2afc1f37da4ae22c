// The interface queries of the network card manager, with the ioctl call replaceable for tests.
#pragma once

#include "platform/network_card_manager.h"

// The kernel's ioctl, or a stand-in that answers the same requests.
typedef int (*InterfaceIoctl)(int descriptor, unsigned long request, void* argument);

// RefreshNetworkCards with every interface query made through `query`.
Result RefreshNetworkCardsThrough(InterfaceIoctl query, unsigned long* count);

// Interface records the list query has room for.
constexpr int kMaxListedInterfaces = 16;
