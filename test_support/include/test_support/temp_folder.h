// A fresh temporary folder that lives as long as its owner and is removed with its contents.
#pragma once

#include <string>

namespace test_support {

class TempFolder {
 public:
  // Makes <prefix>-XXXXXX in the system's temporary folder; a failure is reported to the running test and leaves path() empty.
  explicit TempFolder(const std::string& prefix = "test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace test_support
