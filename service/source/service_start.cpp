// Starting the service: the remaining configuration, the network service and the camera pipeline.
#include "service_start.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "board/board_root.h"
#include "camera_start.h"
#include "configuration_loaders.h"
#include "control_message.h"
#include "pelarin/qeltm.h"
#include "network_init_record.h"
#include "qelt_log.h"

namespace {
constexpr const char* kLogTag = "main";
constexpr const char* kLogFolder = "/data/log";
constexpr mode_t kLogFolderMode = 0775;
constexpr std::size_t kLogLineBytes = 4096;

// The network service's log lines go to this program's log, with their tag.
int ForwardLog(const char* tag, const char* format, ...) {
  char line[kLogLineBytes];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof(line), format, arguments);
  va_end(arguments);
  PrintLog(tag, "%s", line);
  return 0;
}

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

  PrintLog(kLogTag, "StartZuqService, init network service\n");
  QELTMRegisterLogImageFunc(ForwardLog);
  const int network_result = QELTMInit(&network_record);
  if (network_result != 0) {
    PrintLog(kLogTag, "StartZuqService, QELTMInit failed, Ret=%d\n", network_result);
    return RESULT_FAILED;
  }
  QELTMRegisterRecvCtrlMsg(ControlMessageProcess, context);

  result = StartCamera(store, context->device);
  if (result != RESULT_OK) {
    QELTMUnInit();
    return result;
  }
  return RESULT_OK;
}

Result StopZuqService(ServiceContext* context) {
  if (context == nullptr) return RESULT_INVALID_ARGUMENT;
  StopCamera(context->device);
  QELTMUnInit();
  return RESULT_OK;
}
