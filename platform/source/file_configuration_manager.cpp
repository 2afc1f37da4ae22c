// FileConfigurationManager: the configuration store bound to its default and user files.
#include "platform/file_configuration_manager.h"

#include <cstring>

#include "durable_file.h"

FileConfigurationManager::FileConfigurationManager() : file_(nullptr) {}

FileConfigurationManager::~FileConfigurationManager() { ReleaseFile(); }

void FileConfigurationManager::ReleaseFile() {
  if (file_ == nullptr) return;
  if (file_->IsOpen()) file_->Close();
  DeleteObject(file_);
  file_ = nullptr;
}

Result FileConfigurationManager::Open(const char* default_path, const char* user_path) {
  if (default_path == nullptr || user_path == nullptr) return RESULT_INVALID_ARGUMENT;
  if (std::strlen(user_path) > kMaxConfigurationPathLength || std::strlen(default_path) > kMaxConfigurationPathLength) {
    return RESULT_INVALID_ARGUMENT;
  }
  ReleaseFile();
  file_ = NewObject<LinuxFile>();
  if (file_ == nullptr) return RESULT_OUT_OF_MEMORY;

  std::string user;
  try {
    user = user_path;
  } catch (const std::bad_alloc&) {
    ReleaseFile();
    return RESULT_OUT_OF_MEMORY;
  }
  if (file_->Open(user_path, kFileAccessRead, kFilePermissionRead) != RESULT_OK) {
    const Result seeded = SeedUserFile(default_path, user);
    if (seeded != RESULT_OK) {
      ReleaseFile();
      return seeded;
    }
  }
  user_path_.swap(user);
  return RESULT_OK;
}

// Loads the default text and writes it, unchanged, as the new user file.
Result FileConfigurationManager::SeedUserFile(const char* default_path, const std::string& user_path) {
  const Result opened = file_->Open(default_path, kFileAccessRead, kFilePermissionRead);
  if (opened != RESULT_OK) return opened;
  const Result loaded = Load();
  file_->Close();
  if (loaded != RESULT_OK) return loaded;
  return CreateFileAtomically(file_, user_path, text_);
}

Result FileConfigurationManager::Load() {
  if (file_ == nullptr || !file_->IsOpen()) return RESULT_NOT_READY;
  const std::uint64_t size = file_->GetSize();
  text_.clear();
  // A file too large to hold is refused as an allocation would be.
  if (size > kMaxConfigurationTextBytes) return RESULT_OUT_OF_MEMORY;
  std::string content;
  try {
    content.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  std::size_t total = 0;
  const Result read = ReadWholeFile(file_, content.empty() ? nullptr : &content[0], content.size(), &total);
  content.resize(total);
  text_.swap(content);
  if (read != RESULT_OK || size == 0 || total != size) return RESULT_NOT_READY;
  return ConfigurationManager::Load();
}

Result FileConfigurationManager::Save() {
  const Result serialised = ConfigurationManager::Save();
  if (serialised != RESULT_OK) return serialised;
  if (user_path_.empty()) return RESULT_NOT_READY;
  ReleaseFile();
  LinuxFile* file = NewObject<LinuxFile>();
  if (file == nullptr) return RESULT_OUT_OF_MEMORY;
  const Result replaced = ReplaceFileAtomically(file, user_path_, text_);
  if (replaced != RESULT_OK && !file->IsOpen()) {
    DeleteObject(file);
    return replaced;
  }
  // The new file is in place even when only the folder sync failed; keep it for Sync.
  file_ = file;
  return replaced;
}

Result FileConfigurationManager::Sync() {
  if (file_ == nullptr || !file_->IsOpen()) return RESULT_NOT_READY;
  return file_->Sync();
}

Result FileConfigurationManager::Close() {
  if (file_ == nullptr) return RESULT_NOT_READY;
  ReleaseFile();
  return RESULT_OK;
}
