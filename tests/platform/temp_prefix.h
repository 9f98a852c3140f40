// A temporary prefix directory for one test: ZEVA_PREFIX points at it while
// the object lives; it is removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace zeva::testing {

class TempPrefix {
 public:
  TempPrefix() {
    char pattern[] = "/tmp/zeva_platform_test_XXXXXX";
    const char* made = mkdtemp(pattern);
    dir_ = made != nullptr ? made : "";
    if (const char* old = getenv("ZEVA_PREFIX")) saved_ = old;
    setenv("ZEVA_PREFIX", dir_.c_str(), 1);
  }
  ~TempPrefix() {
    if (saved_) {
      setenv("ZEVA_PREFIX", saved_->c_str(), 1);
    } else {
      unsetenv("ZEVA_PREFIX");
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string dir_;
  std::optional<std::string> saved_;
};

}  // namespace zeva::testing
