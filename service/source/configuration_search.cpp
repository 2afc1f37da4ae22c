// Finding the service's configuration files: the working folder, the executable's folder, the board's.
#include "configuration_search.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board/board_root.h"

namespace {
// The kernel's link to this process's program (a path of this machine, not of the board).
constexpr const char* kExecutableLinkFormat = "/proc/%d/exe";
constexpr std::size_t kLinkPathBytes = 64;
}  // namespace

int GetExecutableDirectory(char* buffer, std::size_t size) {
  if (buffer == nullptr || size < 2) return -1;
  std::memset(buffer, 0, size);
  char link[kLinkPathBytes];
  std::snprintf(link, sizeof(link), kExecutableLinkFormat, static_cast<int>(getpid()));
  // One byte is kept back, so that the text stays terminated even when the path fills the buffer.
  const ssize_t length = readlink(link, buffer, size - 1);
  // A link that fills the buffer may have been cut: it is not a folder to trust.
  if (length <= 0 || static_cast<std::size_t>(length) >= size - 1) {
    std::memset(buffer, 0, size);
    return -1;
  }
  char* last_slash = std::strrchr(buffer, '/');
  if (last_slash == nullptr) {
    std::memset(buffer, 0, size);
    return -1;
  }
  std::memset(last_slash + 1, 0, size - static_cast<std::size_t>(last_slash + 1 - buffer));
  return 0;
}

namespace {

// Opens the store with the two names in one folder ("" for the working folder).
Result OpenInFolder(FileConfigurationManager* store, const char* folder, bool print_paths) {
  char default_path[kConfigurationPathBytes] = {};
  char user_path[kConfigurationPathBytes] = {};
  const int default_length =
      std::snprintf(default_path, sizeof(default_path), "%s%s", folder, kDefaultConfigurationFileName);
  const int user_length = std::snprintf(user_path, sizeof(user_path), "%s%s", folder, kUserConfigurationFileName);
  if (print_paths) {
    std::printf("DefaultConfiguration2=%s\n", default_path);
    std::printf("UserConfiguration2=%s\n", user_path);
    std::fflush(stdout);
  }
  // A cut path would name another file: that place is not tried.
  if (default_length < 0 || user_length < 0 || static_cast<std::size_t>(default_length) >= sizeof(default_path) ||
      static_cast<std::size_t>(user_length) >= sizeof(user_path)) {
    return RESULT_INVALID_ARGUMENT;
  }
  return store->Open(default_path, user_path);
}

}  // namespace

Result OpenServiceConfiguration(FileConfigurationManager* store) {
  if (store == nullptr) return RESULT_INVALID_ARGUMENT;
  if (OpenInFolder(store, "", false) == RESULT_OK) return RESULT_OK;

  char directory[kConfigurationPathBytes];
  if (GetExecutableDirectory(directory, sizeof(directory)) != 0) directory[0] = '\0';
  std::printf("CurrentPath=%s\n", directory);
  if (OpenInFolder(store, directory, true) == RESULT_OK) return RESULT_OK;

  return OpenInFolder(store, board::MapPath(kBoardConfigurationFolder).c_str(), true);
}
