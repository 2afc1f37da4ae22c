// Starting the service: the remaining configuration, the network service and the camera pipeline.
#pragma once

#include "platform/file_configuration_manager.h"
#include "platform/result.h"
#include "service_context.h"

// 0 once the network service and the camera run; else the failing step's code, with the
// service's own partial work undone.
Result StartZuqService(FileConfigurationManagerPtr store, ServiceContext* context);
// Stops the camera and the network service after a later failure.
Result StopZuqService(ServiceContext* context);
