// Test helpers of the service: configuration texts with keys changed or removed.
#pragma once

#include <string>

#include "platform/file_configuration_manager.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

using test_support::ReadWholeFile;
using test_support::TempFolder;
using test_support::WriteWholeFile;

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
