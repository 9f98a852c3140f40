#include "platform/win32/registry.h"

#include <string>

#include "platform/win32/last_error.h"
#include "platform/win32/windows_api.h"

namespace zeva::win32 {

using platform::RegStatus;
using platform::RegType;

namespace {

// One view of the machine's settings for both builds of the library: the
// 32-bit one, where a 32-bit installation has always kept them. Without
// it the 64-bit library would read a key of its own.
constexpr REGSAM kView = KEY_WOW64_32KEY;

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A failure code as the driver reports it: the code's own text is taken at
// once, because a registry call returns its code without setting the
// thread's last error.
RegStatus Failed(LSTATUS code) {
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return RegStatus::kNotFound;
  CaptureErrorCode(static_cast<DWORD>(code));
  return RegStatus::kError;
}

}  // namespace

bool Win32Registry::OpenKey(std::string_view path) {
  Key key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, std::string(path).c_str(), 0, KEY_QUERY_VALUE | kView, key.out()) ==
         ERROR_SUCCESS;
}

RegStatus Win32Registry::QueryValue(std::string_view path, std::string_view name, size_t capacity, RegType* type,
                                    std::vector<uint8_t>* data) {
  Key key;
  LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, std::string(path).c_str(), 0, KEY_QUERY_VALUE | kView, key.out());
  if (rc != ERROR_SUCCESS) return Failed(rc);
  std::vector<uint8_t> buffer(capacity + 1);
  DWORD size = static_cast<DWORD>(capacity);
  DWORD valueType = REG_NONE;
  rc = RegQueryValueExA(key.get(), std::string(name).c_str(), nullptr, &valueType, buffer.data(), &size);
  *type = static_cast<RegType>(valueType);
  if (rc == ERROR_MORE_DATA) return RegStatus::kMoreData;
  if (rc != ERROR_SUCCESS) return Failed(rc);
  buffer.resize(size);
  *data = std::move(buffer);
  return RegStatus::kOk;
}

RegStatus Win32Registry::CreateKey(std::string_view path) {
  Key key;
  char noClass[] = "";
  const LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, std::string(path).c_str(), 0, noClass,
                                     REG_OPTION_NON_VOLATILE, KEY_WRITE | kView, nullptr, key.out(), nullptr);
  if (rc != ERROR_SUCCESS) {
    CaptureErrorCode(static_cast<DWORD>(rc));
    return RegStatus::kError;
  }
  return RegStatus::kOk;
}

RegStatus Win32Registry::SetValue(std::string_view path, std::string_view name, RegType type, const uint8_t* data,
                                  size_t size) {
  Key key;
  LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, std::string(path).c_str(), 0, KEY_SET_VALUE | kView, key.out());
  if (rc != ERROR_SUCCESS) return Failed(rc);
  rc = RegSetValueExA(key.get(), std::string(name).c_str(), 0, static_cast<DWORD>(type), data,
                      static_cast<DWORD>(size));
  if (rc == ERROR_MORE_DATA) return RegStatus::kMoreData;
  if (rc != ERROR_SUCCESS) return Failed(rc);
  return RegStatus::kOk;
}

namespace {

using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using IsUserAnAdminFn = BOOL(WINAPI*)();

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// 1: elevated, 0: not elevated, -1: the elevation query is not available.
int TokenElevated() {
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (advapi == nullptr) return -1;
  int result = -1;
  auto openToken = Lookup<OpenProcessTokenFn>(advapi, "OpenProcessToken");
  auto tokenInfo = Lookup<GetTokenInformationFn>(advapi, "GetTokenInformation");
  HANDLE token = nullptr;
  if (openToken != nullptr && tokenInfo != nullptr && openToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (tokenInfo(token, TokenElevation, &elevation, sizeof elevation, &size)) {
      result = elevation.TokenIsElevated != 0 ? 1 : 0;
    }
    CloseHandle(token);
  }
  FreeLibrary(advapi);
  return result;
}

bool UserIsAdmin() {
  HMODULE shell = LoadLibraryA("shell32.dll");
  if (shell == nullptr) return false;
  auto isAdmin = Lookup<IsUserAnAdminFn>(shell, "IsUserAnAdmin");
  const bool admin = isAdmin != nullptr && isAdmin() != 0;
  FreeLibrary(shell);
  return admin;
}

}  // namespace

bool IsProcessElevated() {
  const int elevated = TokenElevated();
  if (elevated >= 0) return elevated == 1;
  return UserIsAdmin();
}

}  // namespace zeva::win32
