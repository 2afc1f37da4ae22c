// Starting the service: the remaining configuration, the network service and the camera pipeline.
#include "service_start.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "board/board_root.h"
#include "camera_start.h"
#include "configuration_loaders.h"
#include "network_init_record.h"
#include "qelt_log.h"

namespace {
constexpr const char* kLogTag = "main";
constexpr const char* kLogFolder = "/data/log";
constexpr mode_t kLogFolderMode = 0775;

void EnsureLogFolder() {
  const std::string folder = board::MapPath(kLogFolder);
  DIR* opened = opendir(folder.c_str());
  if (opened != nullptr) {
    closedir(opened);
    return;
  }
  mkdir(folder.c_str(), kLogFolderMode);
}
}  // namespace

Result StartZuqService(FileConfigurationManagerPtr store, ServiceContext* context) {
  if (context == nullptr) return RESULT_INVALID_ARGUMENT;
  char serial_number[kConfigurationTextBytes] = {};
  char vendor_name[kConfigurationTextBytes] = {};
  Result result = LoadZuqConfiguration(store, serial_number, vendor_name);
  if (result != RESULT_OK) {
    PrintLog(kLogTag, "StartZuqService, load zuq configuration failed\n");
    return result;
  }
  EnsureLogFolder();

  char server_addr[kConfigurationTextBytes] = {};
  std::uint32_t server_port = 0;
  result = LoadNetworkConfiguration(store, server_addr, &server_port);
  if (result != RESULT_OK) {
    PrintLog(kLogTag, "StartZuqService, load network configuration failed\n");
    return result;
  }
  tagNetworkInitPara network_record;
  result = FillNetworkInitRecord(server_addr, server_port, &network_record);
  if (result != RESULT_OK) return result;

  // SEAM: the network service start and the control handler belong here, then StartCamera
  // (undone by the network service's uninit on failure), once the network service interface is
  // linked into this program. Until then the start fails visibly.
  PrintLog(kLogTag, "StartZuqService, network service and camera are not available in this build\n");
  return RESULT_NOT_IMPLEMENTED;
}

Result StopZuqService(ServiceContext* context) {
  if (context == nullptr) return RESULT_INVALID_ARGUMENT;
  StopCamera(context->device);
  // SEAM: the network service's uninit follows here once it is linked.
  return RESULT_OK;
}
