// Test helpers of the service: configuration texts with keys changed or removed.
#include "service_test_support.h"

#include <regex>

#include "platform/memory_manager.h"

std::string ShippedConfiguration() {
  return ReadWholeFile(std::string(SERVICE_CONFIG_DIR) + "/default_video_stereo_server_configuration.xml");
}

namespace {
std::regex RecordLine(const std::string& name) {
  return std::regex("( *<record name=" + name + " type=)(integer|double|string)( value=)([^>]*)(></record>\r?\n)");
}
// Replaces the whole record line of `name` with what `rebuild` makes of its parts.
template <typename Rebuild>
std::string ReplaceRecord(const std::string& text, const std::string& name, Rebuild rebuild) {
  std::smatch match;
  if (!std::regex_search(text, match, RecordLine(name))) return text;
  return match.prefix().str() + rebuild(match) + match.suffix().str();
}

}  // namespace

std::string WithoutRecord(const std::string& text, const std::string& name) {
  return ReplaceRecord(text, name, [](const std::smatch&) { return std::string(); });
}

std::string WithValue(const std::string& text, const std::string& name, const std::string& value) {
  return ReplaceRecord(text, name, [&value](const std::smatch& m) { return m.str(1) + m.str(2) + m.str(3) + value + m.str(5); });
}

std::string WithType(const std::string& text, const std::string& name, const std::string& type) {
  return ReplaceRecord(text, name, [&type](const std::smatch& m) { return m.str(1) + type + m.str(3) + m.str(4) + m.str(5); });
}

FileConfigurationManagerPtr OpenStore(const TempFolder& folder, const std::string& text) {
  const std::string default_path = folder.File("default.xml");
  WriteWholeFile(default_path, text);
  FileConfigurationManagerPtr store(NewObject<FileConfigurationManager>());
  if (store->Open(default_path.c_str(), folder.File("user.xml").c_str()) != RESULT_OK) return {};
  if (store->Load() != RESULT_OK) return {};
  return store;
}
