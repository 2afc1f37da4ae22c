// The control handler the network service calls for each control request.
#pragma once

#include "pelarin/qeltm.h"

// The context is the ServiceContext. 0 when the request was handled, 11 when not (no reply).
int ControlMessageProcess(const char* payload, int length, void* context, tagACKMsgPara* reply);
