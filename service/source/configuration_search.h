// Finding the service's configuration files: the working folder, the executable's folder, the board's.
#pragma once

#include <cstddef>

#include "platform/file_configuration_manager.h"

constexpr const char* kDefaultConfigurationFileName = "default_video_stereo_server_configuration.xml";
constexpr const char* kUserConfigurationFileName = "user_video_stereo_server_configuration.xml";
// The board folder tried last.
constexpr const char* kBoardConfigurationFolder = "/system/etc/";
// Size of each path buffer.
constexpr std::size_t kConfigurationPathBytes = 4096;

// Writes the running executable's folder, with its trailing '/', into `buffer` of `size` bytes
// (zero-filled, always terminated); 0, or -1 (an empty text) when the link cannot be read, holds
// no '/', or may have been cut to fit the buffer.
int GetExecutableDirectory(char* buffer, std::size_t size);

// Opens the store with the two names in the working folder, then in the running executable's
// folder (printing "CurrentPath=" and, as for the board folder, "DefaultConfiguration2=" and
// "UserConfiguration2="; bare names again when the folder cannot be read), then in the board's
// "/system/etc/", until one Open succeeds. Paths that would not fit kConfigurationPathBytes are not
// tried (RESULT_INVALID_ARGUMENT for that place). The last place's code when none opens.
Result OpenServiceConfiguration(FileConfigurationManager* store);
