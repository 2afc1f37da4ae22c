// Test helpers of the service: temporary folders and configuration texts with keys changed or removed.
#pragma once

#include <string>

#include "platform/file_configuration_manager.h"

// A fresh temporary folder, removed with its contents afterwards.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& text);

// The shipped default configuration text.
std::string ShippedConfiguration();
// The text with the record line of `name` (a leaf record) removed; unchanged when absent.
std::string WithoutRecord(const std::string& text, const std::string& name);
// The text with the value of the leaf record `name` replaced.
std::string WithValue(const std::string& text, const std::string& name, const std::string& value);
// The text with the type of the leaf record `name` replaced.
std::string WithType(const std::string& text, const std::string& name, const std::string& type);

// A store opened on `text` written as the default file in `folder`, and loaded.
FileConfigurationManagerPtr OpenStore(const TempFolder& folder, const std::string& text);
