// The shared library exports exactly the names of its export list, and a
// client that loads it gets a working driver.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>

#include "tests/api/export_list.h"
#include "zeva232.h"

namespace {

using zeva::api_test::ListedExports;


std::set<std::string> DynamicSymbols() {
  const std::string cmd = std::string("nm -D --defined-only ") + ZEVA_SHARED_LIBRARY;
  std::set<std::string> names;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::istringstream in(line);
    std::string addr, type, name;
    if (!(in >> addr >> type >> name)) continue;
    if (type == "A") continue;  // the version node itself
    names.insert(name.substr(0, name.find('@')));
  }
  pclose(p);
  return names;
}

// The functions the DLL's module definition exports: the driver's own,
// without the POSIX window system.
std::set<std::string> DefinedExports() {
  std::ifstream def(ZEVA_MODULE_DEFINITION);
  std::set<std::string> defined;
  bool inExports = false;
  std::string line;
  while (std::getline(def, line)) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word[0] == ';') continue;
    if (word == "EXPORTS") {
      inExports = true;
    } else if (inExports) {
      defined.insert(word);
    }
  }
  return defined;
}

TEST(ExportsTest, SharedLibraryExportsExactlyTheListedNames) {
  const std::set<std::string> listed = ListedExports();
  const std::set<std::string> exported = DynamicSymbols();
  ASSERT_GT(listed.size(), 40u);
  for (const auto& name : listed) EXPECT_TRUE(exported.count(name)) << "missing export " << name;
  for (const auto& name : exported) EXPECT_TRUE(listed.count(name)) << "unexpected export " << name;
}

// The DLL's module definition lists the same functions as the POSIX export
// list, without the window system that only POSIX brings: an export added
// to one list and not the other would be missing from one platform's build.
TEST(ExportsTest, ModuleDefinitionListsTheSameFunctionsWithoutTheWindowSystem) {
  const std::set<std::string> windowSystem = {
      "CreateMessageWindow", "DestroyWindow",    "RegisterWindowMessageA", "PostMessageA",    "GetMessageA",
      "PeekMessageA",        "DispatchMessageA", "PostQuitMessage",        "DefWindowProcA",  "CallWindowProcA",
      "SetWindowLongPtrA",   "GetWindowLongPtrA", "MessageBoxA",           "SetMessageBoxHook"};
  std::set<std::string> functions;
  for (const std::string& name : ListedExports()) {
    if (!windowSystem.count(name)) functions.insert(name);
  }
  const std::set<std::string> defined = DefinedExports();
  EXPECT_EQ(defined.size(), 64u);
  EXPECT_EQ(defined, functions);
}

// No exception may reach a C caller, so every export is noexcept. Each name
// below fails the build when its function can throw through the boundary;
// the test after the list fails when an export is missing from it.
#define ZEVA_EXPORTED_FUNCTIONS(X)                                                                          \
  X(SetCOMPort) X(GetCOMPort) X(SetBps) X(GetBps) X(SetFrameSize) X(GetFrameSize) X(SetRXbuffer)            \
  X(GetRXbuffer) X(SetTXbuffer) X(GetTXbuffer) X(SetLocalAddress) X(getLocalAddr) X(SetAdapterID)           \
  X(getAdapterID) X(SetProtocol) X(SetPacketTimeout) X(getPacketTimeout) X(SetBusyTimeout)                  \
  X(getBusyTimeout) X(SaveSettings) X(SetSpy) X(getSpy) X(SetAutoEcho) X(getAutoEcho) X(SetNoAck)           \
  X(getNoAck) X(SetEchoCheck) X(GetEchoCheck) X(SetNoErrMsgBox) X(FreezeEvents) X(SetType)                  \
  X(SetResponseMsg) X(GetLastProgramError) X(GetZEVADriverVersion) X(copystring) X(ClearBuffer) X(SetInt)   \
  X(SetByte) X(SetOut) X(GetInt) X(GetByte) X(GetType) X(Send) X(SendData) X(sendRaw) X(TestStream)         \
  X(OpenCOM) X(CloseCOM) X(IsOpen) X(SetCallbackEvents) X(SetClientHWND) X(Reboot) X(ClearRemoteError)      \
  X(Stop) X(ResetComm) X(Restart) X(GetFirmwareInfo) X(MakeMap) X(MapAbort) X(GetRemoteError) X(Query)      \
  X(SetAddrID) X(Program) X(ProgramDirect)

template <typename Fn>
struct NoThrowFunction : std::false_type {};
template <typename R, typename... Args>
struct NoThrowFunction<R(Args...) noexcept> : std::true_type {};

#define ZEVA_CHECK_NOEXCEPT(name) \
  static_assert(NoThrowFunction<decltype(::name)>::value, #name " lets an exception reach its C caller");
ZEVA_EXPORTED_FUNCTIONS(ZEVA_CHECK_NOEXCEPT)

TEST(ExportsTest, EveryExportedFunctionIsCheckedForNoexcept) {
#define ZEVA_NAME(name) #name,
  const std::set<std::string> checked = {ZEVA_EXPORTED_FUNCTIONS(ZEVA_NAME)};
#undef ZEVA_NAME
  EXPECT_EQ(checked, DefinedExports());
}

TEST(ExportsTest, LoadedLibraryAnswersWithDefaultsAndItsVersion) {
  // Point the library at an empty prefix so the machine's settings do not
  // leak in.
  char dir[] = "/tmp/zeva-exports-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("ZEVA_PREFIX", dir, 1);
  void* lib = dlopen(ZEVA_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using Version = int32_t (*)(char*, int32_t);
  using Getter = int32_t (*)();
  auto version = reinterpret_cast<Version>(dlsym(lib, "GetZEVADriverVersion"));
  auto bps = reinterpret_cast<Getter>(dlsym(lib, "GetBps"));
  auto echo = reinterpret_cast<Getter>(dlsym(lib, "GetEchoCheck"));
  ASSERT_NE(version, nullptr);
  ASSERT_NE(bps, nullptr);
  char buf[32] = {};
  EXPECT_EQ(version(buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "1. 2. 0. 19");
  EXPECT_EQ(bps(), 19200);
  EXPECT_EQ(echo(), 1);
  EXPECT_EQ(dlsym(lib, "_ZN4zeva6config9SetCOMPortERNS_13DriverContextEi"), nullptr);
  dlclose(lib);
  unsetenv("ZEVA_PREFIX");
  std::filesystem::remove_all(dir);
}

}  // namespace
