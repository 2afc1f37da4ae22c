// The configuration store bound to a default file and a user file, with seeding and crash-safe saving.
#pragma once

#include <string>

#include "platform/configuration_manager.h"
#include "platform/counted_handle.h"
#include "platform/file.h"

// Longest file path the store accepts.
constexpr std::size_t kMaxConfigurationPathLength = 65535;

class FileConfigurationManager : public ConfigurationManager {
 public:
  FileConfigurationManager();
  // Closes and releases the open file, then the tree and text.
  ~FileConfigurationManager() override;

  // Opens the user file for reading; when it cannot be opened, seeds it from the default file
  // (which is left untouched) and holds the new user file at its start.
  Result Open(const char* default_path, const char* user_path);
  Result Close() override;
  // Reads the whole open file from its current position and parses it.
  Result Load() override;
  // Serialises the tree and replaces the user file atomically (temporary file, fsync, rename).
  Result Save() override;
  Result Sync() override;

 private:
  Result SeedUserFile(const char* default_path, const std::string& user_path);
  void ReleaseFile();

  LinuxFile* file_;
  std::string user_path_;
};

typedef CountedHandle<FileConfigurationManager> FileConfigurationManagerPtr;
