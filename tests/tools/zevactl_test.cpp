// The built zevactl against its embedded simulated bus, in real time. Each
// run is bounded and killed by its pid when it overstays; every test has a
// private ZEVA_PREFIX so the machine's settings neither leak in nor change.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto kRunLimit = std::chrono::seconds(30);

struct RunResult {
  int status = -1;  // exit status; -1 when killed
  std::string out;
  std::string err;
};

// Runs zevactl (zevasim when the first argument is "zevasim");
// `interruptAfterMs` > 0 sends it `signal` then.
RunResult RunZevactl(const std::vector<std::string>& args, int interruptAfterMs = 0, int signal = SIGINT) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  const bool sim = !args.empty() && args[0] == "zevasim";
  std::vector<std::string> all = {sim ? ZEVASIM_PATH : ZEVACTL_PATH};
  all.insert(all.end(), args.begin() + (sim ? 1 : 0), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  const auto start = Clock::now();
  bool interrupted = false;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (Clock::now() - start > kRunLimit) {
      kill(pid, SIGKILL);
      break;
    }
    if (interruptAfterMs > 0 && !interrupted && elapsed >= interruptAfterMs) {
      kill(pid, signal);
      interrupted = true;
    }
    if (poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Every entry below `root`: its type, size, time and link target, to see
// that a run left the user's files as they were.
std::map<std::string, std::string> DiskState(const fs::path& root) {
  std::map<std::string, std::string> state;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    // A folder's own size and time change with what comes and goes in it
    // (its entries are listed themselves); a link put back is the same link.
    std::string what = std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode)) {
      what += " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
              std::to_string(st.st_mtim.tv_nsec);
    }
    if (S_ISLNK(st.st_mode)) what += " -> " + fs::read_symlink(it->path(), ec).string();
    state[it->path().string()] = what;
  }
  return state;
}

const char* const kProgramHex = ":100000000102030405060708090A0B0C0D0E0F1068\n:00000001FF\n";

// `n` bytes 0, 1, 2, ... as Intel HEX.
std::string HexProgram(size_t n) {
  std::string text;
  char field[16];
  for (size_t at = 0; at < n; at += 16) {
    const size_t count = std::min<size_t>(16, n - at);
    unsigned sum = static_cast<unsigned>(count + (at >> 8) + (at & 0xFF));
    std::snprintf(field, sizeof field, ":%02X%04X00", static_cast<unsigned>(count), static_cast<unsigned>(at));
    text += field;
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>((at + i) & 0xFF));
      text += field;
      sum += static_cast<unsigned>((at + i) & 0xFF);
    }
    std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += field;
  }
  return text + ":00000001FF\n";
}

class ZevactlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Taken before TMPDIR is pointed into the prefix below.
    static const fs::path base = fs::temp_directory_path();
    prefix_ = base / ("zevactl_test_" + std::to_string(getpid()));
    fs::create_directories(prefix_ / "tmp");
    setenv("ZEVA_PREFIX", prefix_.c_str(), 1);
    // zevactl's private folders go here, where a leftover is seen.
    setenv("TMPDIR", (prefix_ / "tmp").c_str(), 1);
    // The user's files that bad input names (as @name in the arguments).
    fs::create_directories(prefix_ / "files" / "dir");
    WriteFile("files/prog.hex", kProgramHex);
    WriteFile("files/slow.hex", HexProgram(120));  // 20 frames, 5 s into a device of firmware 0.x
    WriteFile("files/bom.hex", "\xEF\xBB\xBF" + std::string(kProgramHex));
    WriteFile("files/notes.txt", "hello\n");
    WriteFile("files/nul", std::string(":\0", 2));
    WriteFile("files/unplug.json", R"({"devices": [{"address": 5, "serial": "S01A2B3", "product": 5, "version": "2.7"}],
                                       "events": [{"atMs": 1000, "kind": "unplug"}]})");
    WriteFile("files/broken.json", "{\"devices\": [");
    WriteFile("files/unknown.json", R"({"devices": [], "colour": 1})");
    fs::create_symlink("/dev/null", prefix_ / "files" / "link");
    fs::create_symlink("/nonexistent/pts/99", prefix_ / "files" / "stale");
  }
  void TearDown() override { fs::remove_all(prefix_); }

  std::string WriteFile(const std::string& name, const std::string& content) {
    const fs::path path = prefix_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // "PROG" and "@name" name files of the fixture.
  std::vector<std::string> WithFiles(std::vector<std::string> args) const {
    for (std::string& a : args) {
      if (a == "PROG") a = (prefix_ / "files" / "prog.hex").string();
      if (a.rfind('@', 0) == 0) a = (prefix_ / "files" / a.substr(1)).string();
    }
    return args;
  }

  fs::path prefix_;
};

// A short packet timeout keeps the map of 127 addresses to a few seconds.
std::vector<std::string> Sim(std::vector<std::string> args) {
  args.insert(args.begin(), {"--port", "sim", "--packet-timeout", "20"});
  return args;
}

struct CommandCase {
  const char* name;  // the fault the row catches
  std::vector<std::string> args;
  int status;
  std::string out;  // a part of standard output
  std::string err;  // a part of standard error
  int signalAfterMs = 0;
  int signal = SIGINT;
  std::string notErr = "\x01";  // what standard error must not say
  // Files of the prefix during the run: system.reg, Orlindo.inf.
  std::vector<std::pair<std::string, std::string>> prefixFiles = {};
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandTest : public ZevactlTest, public ::testing::WithParamInterface<CommandCase> {};

// Exit status and message, and nothing on disk changed: no private folder
// left behind, none of the user's files or links touched.
TEST_P(CommandTest, ExitStatusAndOutput) {
  const CommandCase& c = GetParam();
  for (const auto& [name, content] : c.prefixFiles) WriteFile(name, content);
  const auto before = DiskState(prefix_);
  const RunResult r = RunZevactl(WithFiles(c.args), c.signalAfterMs, c.signal);
  const auto after = DiskState(prefix_);
  for (const auto& file : c.prefixFiles) fs::remove(prefix_ / file.first);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
  EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(c.notErr), std::string::npos) << r.err;
  // Nothing from outside may drive the terminal.
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    OnTheDemoBus, CommandTest,
    ::testing::Values(
        CommandCase{"version", {"version"}, 0, "1. 2. 0. 19", ""},
        CommandCase{"settings_show", {"--bps", "9600", "settings", "show"}, 0, "bps             9600", ""},
        CommandCase{"settings_show_hid_the_saved_protocol", {"settings", "show"}, 0, "protocol        1  (saved in", "",
                    0, SIGINT, "\x01",
                    {{"system.reg",
                      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]\r\n"
                      "\"Protocol\"=dword:00000001\r\n"}}},
        // Fault: values the driver did not take as stored went unmentioned.
        CommandCase{"settings_show_kept_quiet_about_a_bad_timeout", {"settings", "show"}, 0, "packet-timeout  81",
                    "system.reg: PacketTimeout=dword:7fffffff is out of range (1..32767)", 0, SIGINT, "\x01",
                    {{"system.reg",
                      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]\r\n"
                      "\"PacketTimeout\"=dword:7fffffff\r\n\"LocalAddress\"=dword:00010005\r\n"}}},
        CommandCase{"settings_show_kept_quiet_about_a_rate_as_text", {"settings", "show"}, 0, "bps             19200",
                    "system.reg: bps=\"9600\" is not a dword: the driver uses its default", 0, SIGINT,
                    "LocalAddress",
                    {{"system.reg",
                      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]\r\n"
                      "\"bps\"=\"9600\"\r\n\"LocalAddress\"=dword:00010005\r\n"}}},
        CommandCase{"settings_show_kept_quiet_about_a_garbage_file", {"settings", "show"}, 0, "port            1",
                    "holds no [HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo] key: the driver uses the defaults", 0,
                    SIGINT, "\x01", {{"system.reg", "\x7f\x45LF garbage\n\x1b[2J"}}},
        CommandCase{"product_name_reached_the_terminal", Sim({"info", "5"}), 0, "product 5 (?[2JRed?[0m)", "", 0,
                    SIGINT, "\x01", {{"Orlindo.inf", "[DeviceIDs]\r\n5=\x1b[2JRed\x1b[0m\r\n"}}},
        CommandCase{"product_name_not_utf8_broke_json", Sim({"--json", "info", "5"}), 0, "\"name\":\"Caf?\"", "", 0,
                    SIGINT, "\x01", {{"Orlindo.inf", "[DeviceIDs]\r\n5=Caf\xe9\r\n"}}},
        CommandCase{"map", Sim({"map"}), 0, "12       S1F2E3D   3", "3 device(s) found"},
        CommandCase{"info", Sim({"info", "5"}), 0, "serial S01A2B3  product 5", ""},
        CommandCase{"info_own_station", Sim({"info", "1"}), 0, "[WIN32 ZEVA COM Driver]", ""},
        CommandCase{"info_nobody_said_like_a_dead_port", Sim({"info", "9"}), 1, "", "no answer from address 9", 0,
                    SIGINT, "driver error"},
        CommandCase{"query_nobody_said_like_a_dead_port", Sim({"query", "99"}), 1, "", "no answer from address 99", 0,
                    SIGINT, "driver error"},
        CommandCase{"clear_nobody_said_like_a_dead_port", Sim({"clear", "99"}), 1, "", "no answer from address 99",
                    0, SIGINT, "driver error"},
        CommandCase{"map_port_lost_reported_success", {"--port", "sim", "--sim-config", "@unplug.json", "map"}, 1,
                    "", "went away", 0, SIGINT, "device(s) found"},
        CommandCase{"monitor_port_lost_said_nothing", {"--port", "sim", "--sim-config", "@unplug.json", "monitor"}, 1,
                    "", "went away"},
        CommandCase{"error_report", Sim({"error", "12"}), 0, "Reprogram error", ""},
        CommandCase{"query", Sim({"query", "5", "01", "02", "03", "04", "05", "06"}), 0, "FE FD FC FB FA 06", ""},
        CommandCase{"send", Sim({"send", "5", "--type", "20", "--int0", "1", "--int1", "-1"}), 0, "delivered", ""},
        CommandCase{"send_bytes", Sim({"send", "5", "--type", "20", "--bytes", "01020304"}), 0, "delivered", ""},
        CommandCase{"send_nobody", Sim({"send", "9", "--type", "20"}), 1, "", "not delivered"},
        CommandCase{"senddata", Sim({"senddata", "5", "01", "02", "03", "04", "05", "06", "07"}), 0, "delivered", ""},
        CommandCase{"raw_frame", Sim({"raw", "FE0501C10000000000FA00", "--whole-frame"}), 0, "checksum DD", ""},
        CommandCase{"teststream", Sim({"teststream", "0x55", "8"}), 0, "8 bytes written", ""},
        CommandCase{"stop_all", Sim({"stop", "0"}), 0, "sent", ""},
        CommandCase{"reboot", Sim({"reboot", "5"}), 0, "sent", ""},
        CommandCase{"reset", Sim({"reset", "5"}), 0, "sent", ""},
        CommandCase{"clear", Sim({"clear", "12"}), 0, "sent", ""},
        CommandCase{"restart", Sim({"restart"}), 0, "restarted", ""},
        CommandCase{"assign", Sim({"assign", "S01A2B3", "9"}), 0, "address 9 sent to S01A2B3", "Searching device"},
        CommandCase{"program", Sim({"program", "S01A2B3", "5", "PROG", "--product", "5", "--min-version", "2.0"}), 0,
                    "programmed 16 bytes", "Restarting devices"},
        CommandCase{"program_hex_with_byte_order_mark_went_down_as_text",
                    Sim({"program", "S01A2B3", "5", "@bom.hex", "--product", "5", "--min-version", "2.0"}), 0,
                    "programmed 16 bytes", ""},
        CommandCase{"program_first_interrupt_held_silently",
                    Sim({"program", "S00C0DE", "7", "@slow.hex", "--product", "12", "--min-version", "0.1"}), 0,
                    "programmed 120 bytes", "press Ctrl-C again to abandon", 1500, SIGINT,
                    "\x01"},
        CommandCase{"program_time_unsaid", Sim({"program", "S01A2B3", "5", "PROG", "--product", "5", "--min-version",
                                                "2.0"}),
                    0, "", "3 frames, about 1 s into a device of firmware 0.x"},
        CommandCase{"map_interrupt_said_address_0", {"--port", "sim", "map"}, 1, "", "map stopped at address ", 1500,
                    SIGINT, "address 0\n"},
        CommandCase{"sigterm_left_private_folder", {"--port", "sim", "map"}, 143, "", "stopped by", 1500, SIGTERM},
        CommandCase{"sighup_left_private_folder", {"--port", "sim", "map"}, 129, "", "stopped by", 1500, SIGHUP},
        CommandCase{"program_direct",
                    Sim({"program", "S00C0DE", "7", "PROG", "--product", "12", "--min-version", "0.1", "--direct"}), 0,
                    "programmed 16 bytes", "...program sent"},
        CommandCase{"program_wrong_product",
                    Sim({"program", "S01A2B3", "5", "PROG", "--product", "6", "--min-version", "2.0"}), 1, "",
                    "product mismatch"},
        CommandCase{"program_refused_left_bus_stopped",
                    Sim({"program", "S01A2B3", "5", "PROG", "--product", "6", "--min-version", "2.0"}), 1, "",
                    "bus restarted"},
        CommandCase{"program_refused_no_restart_said_nothing",
                    Sim({"program", "S01A2B3", "5", "PROG", "--product", "6", "--min-version", "2.0",
                         "--no-restart-on-failure"}),
                    1, "", "left stopped; 'zevactl restart'"},
        CommandCase{"assign_onto_taken_address", Sim({"assign", "S01A2B3", "7"}), 1, "",
                    "address 7 is taken by S00C0DE; nothing sent"},
        CommandCase{"assign_force", Sim({"assign", "S01A2B3", "7", "--force"}), 0, "address 7 sent to S01A2B3", ""},
        CommandCase{"assign_same_device", Sim({"assign", "S01A2B3", "5"}), 0, "has address 5 already", ""},
        CommandCase{"program_version_too_low",
                    Sim({"program", "S01A2B3", "5", "PROG", "--product", "5", "--min-version", "2.8"}), 1, "",
                    "(program error 7)"},
        CommandCase{"program_serial_mismatch",
                    Sim({"program", "S000001", "5", "PROG", "--product", "5", "--min-version", "2.0", "--direct"}), 1,
                    "", "(program error 5)"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

// Bad input is refused before the port is touched: the port given here
// does not exist, so reaching it would fail with status 1 instead.
INSTANTIATE_TEST_SUITE_P(
    BadInput, CommandTest,
    ::testing::Values(
        CommandCase{"address_too_high", {"--port", "/nonexistent/tty", "info", "256"}, 2, "", "bad address \"256\""},
        CommandCase{"address_not_a_number", {"--port", "/nonexistent/tty", "stop", "five"}, 2, "", "bad address"},
        CommandCase{"assign_bad_serial", {"--port", "/nonexistent/tty", "assign", "X12", "5"}, 2, "", "bad serial"},
        CommandCase{"assign_address_0", {"--port", "/nonexistent/tty", "assign", "S12", "0"}, 2, "", "bad address"},
        CommandCase{"assign_own_address", {"--port", "/nonexistent/tty", "assign", "S12", "1"}, 2, "", "own address"},
        CommandCase{"query_five_bytes", {"--port", "/nonexistent/tty", "query", "5", "0102030405"}, 2, "", "six bytes"},
        CommandCase{"send_bad_hex", {"--port", "/nonexistent/tty", "send", "5", "--type", "1", "--bytes", "0g"}, 2, "",
                    "not hex bytes"},
        CommandCase{"send_int_and_bytes",
                    {"--port", "/nonexistent/tty", "send", "5", "--type", "1", "--bytes", "01020304", "--int0", "1"},
                    2, "", "excludes"},
        CommandCase{"senddata_response_mode", {"--port", "/nonexistent/tty", "senddata", "5", "01", "--response", "3"},
                    2, "", "--response needs --mode 2"},
        CommandCase{"raw_short_frame", {"--port", "/nonexistent/tty", "raw", "FE01", "--whole-frame"}, 2, "",
                    "at least four bytes"},
        CommandCase{"program_missing_file",
                    {"--port", "/nonexistent/tty", "program", "S1", "5", "/nonexistent/p.bin", "--product", "5",
                     "--min-version", "1.0"},
                    2, "", "cannot read"},
        CommandCase{"program_bad_version",
                    {"--port", "/nonexistent/tty", "program", "S1", "5", "PROG", "--product", "5", "--min-version", "1"},
                    2, "", "bad --min-version"},
        CommandCase{"bad_port", {"--port", "0", "map"}, 2, "", "bad --port"},
        CommandCase{"monitor_for_0_ran_for_ever", {"--port", "/nonexistent/tty", "monitor", "--for", "0"}, 2, "",
                    "bad --for"},
        CommandCase{"monitor_for_nan_ended_at_once", {"--port", "/nonexistent/tty", "monitor", "--for", "nan"}, 2, "",
                    "bad --for"},
        CommandCase{"unknown_command", {"frobnicate"}, 2, "", "unknown command \"frobnicate\""},
        CommandCase{"unknown_option_said_subcommand_required", {"--bogus"}, 2, "", "unknown option --bogus"},
        CommandCase{"misspelt_command_no_match", {"mpa"}, 2, "", "did you mean map?"},
        CommandCase{"misspelt_option_no_match", {"--port", "/nonexistent/tty", "map", "--quite"}, 2, "",
                    "did you mean --quiet?"},
        CommandCase{"settings_unknown", {"settings", "set", "speed", "5"}, 2, "", "unknown setting"},
        CommandCase{"settings_out_of_range", {"settings", "set", "protocol", "3"}, 2, "", "bad protocol"},
        CommandCase{"missing_port", {"--port", "/nonexistent/tty", "info", "5"}, 1, "", "no such terminal"},
        CommandCase{"port_dev_null_said_no_reason", {"--port", "/dev/null", "info", "5"}, 1, "",
                    "/dev/null is not a terminal"},
        CommandCase{"port_regular_file_said_no_reason", {"--port", "@notes.txt", "info", "5"}, 1, "",
                    "notes.txt is not a terminal"},
        CommandCase{"port_empty_used_the_stored_port", {"--port", "", "info", "5"}, 2, "", "--port ''"},
        CommandCase{"program_directory_threw_ios_failure",
                    {"--port", "/nonexistent/tty", "program", "S1", "5", "@dir", "--product", "5", "--min-version",
                     "1.0"},
                    2, "", "dir: is a directory"},
        CommandCase{"program_dev_zero_read_until_bad_alloc",
                    {"--port", "/nonexistent/tty", "program", "S1", "5", "/dev/zero", "--product", "5",
                     "--min-version", "1.0"},
                    2, "", "/dev/zero: is not a regular file"},
        CommandCase{"program_text_went_down_as_binary",
                    {"--port", "/nonexistent/tty", "program", "S1", "5", "@notes.txt", "--product", "5",
                     "--min-version", "1.0"},
                    2, "", "notes.txt: line 1: a record must start with ':'"},
        CommandCase{"program_colon_and_nul_went_down_as_binary",
                    {"--port", "/nonexistent/tty", "program", "S1", "5", "@nul", "--product", "5", "--min-version",
                     "1.0"},
                    2, "", "--format bin"},
        CommandCase{"program_bad_format", {"--port", "/nonexistent/tty", "program", "S1", "5", "PROG", "--product",
                                           "5", "--min-version", "1.0", "--format", "elf"},
                    2, "", "bad --format"},
        CommandCase{"zevasim_link_replaced_and_deleted_the_users_link",
                    {"zevasim", "--demo", "--link", "@link"}, 1, "", "exists (a link to /dev/null)"},
        CommandCase{"zevasim_dangling_link_put_back_at_exit", {"zevasim", "--demo", "--link", "@stale"}, 0, "/dev/pts/",
                    "", 1000, SIGTERM},
        CommandCase{"zevasim_link_created_missing_folders",
                    {"zevasim", "--demo", "--link", "@nodir/deeper/com1"}, 1, "", "its folder does not exist"},
        CommandCase{"zevasim_config_dev_zero_read_without_bound", {"zevasim", "--config", "/dev/zero"}, 2, "",
                    "/dev/zero: is not a regular file"},
        CommandCase{"zevasim_config_directory", {"zevasim", "--config", "@dir"}, 2, "", "dir: is a directory"},
        CommandCase{"zevasim_link_over_a_file", {"zevasim", "--demo", "--link", "@notes.txt"}, 1, "",
                    "is not a symbolic link"},
        CommandCase{"sim_config_unknown_key_exited_1", {"--port", "sim", "--sim-config", "@unknown.json", "map"}, 2,
                    "", "unknown key \"colour\""},
        CommandCase{"sim_config_broken_json", {"--port", "sim", "--sim-config", "@broken.json", "map"}, 2, "",
                    "broken.json: parse error at line 1, column 14"},
        CommandCase{"sim_config_directory", {"--port", "sim", "--sim-config", "@dir", "map"}, 2, "",
                    "dir: is a directory"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST_F(ZevactlTest, MalformedHexIsRefusedWithItsLine) {
  const std::string path = WriteFile("bad.hex", ":0100000042BD\n:0100010043BD\n:00000001FF\n");
  const RunResult r = RunZevactl(
      {"--port", "/nonexistent/tty", "program", "S1", "5", path, "--product", "5", "--min-version", "1.0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bad.hex: line 2: checksum error"), std::string::npos) << r.err;
}

TEST_F(ZevactlTest, SendDataAwaitsTheResponseCode) {
  const std::string config = WriteFile(
      "bus.json", R"({"devices": [{"address": 5, "serial": "S01A2B3", "product": 5, "version": "2.7", "responseCode": 99}]})");
  const std::vector<std::string> base = {"--port", "sim", "--sim-config", config, "--packet-timeout", "20",
                                         "senddata", "5", "0102030405060708", "--mode", "2", "--response"};
  std::vector<std::string> right = base, wrong = base;
  right.push_back("99");
  wrong.push_back("98");
  EXPECT_EQ(RunZevactl(right).status, 0);
  const RunResult r = RunZevactl(wrong);  // waits 5 s for a code that never comes
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not delivered"), std::string::npos) << r.err;
}

TEST_F(ZevactlTest, SilentDeviceFails) {
  const std::string config = WriteFile(
      "bus.json",
      R"({"devices": [{"address": 5, "serial": "S01A2B3", "product": 5, "version": "2.7", "faults": {"silent": true}}]})");
  const RunResult r = RunZevactl({"--port", "sim", "--sim-config", config, "--packet-timeout", "20", "info", "5"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

struct JsonCase {
  const char* name;
  std::vector<std::string> args;
  bool ok;
  std::string pointer;  // a field that must be there
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.name; }

class JsonTest : public ZevactlTest, public ::testing::WithParamInterface<JsonCase> {};

TEST_P(JsonTest, StandardOutputIsOneJsonDocument) {
  const JsonCase& c = GetParam();
  std::vector<std::string> args = WithFiles(c.args);
  args.insert(args.begin(), "--json");
  const RunResult r = RunZevactl(args);
  nlohmann::json doc;
  ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
  EXPECT_EQ(doc.at("ok"), c.ok);
  EXPECT_EQ(r.status, c.ok ? 0 : 1);
  EXPECT_TRUE(doc.contains(nlohmann::json::json_pointer(c.pointer))) << doc.dump();
  EXPECT_TRUE(doc.at("errors").is_array());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, JsonTest,
    ::testing::Values(JsonCase{"version", {"version"}, true, "/driver"},
                      JsonCase{"settings", {"settings"}, true, "/settings/packet-timeout"},
                      JsonCase{"map", Sim({"map"}), true, "/devices/2/serial"},
                      JsonCase{"info", Sim({"info", "7"}), true, "/device/version"},
                      JsonCase{"error", Sim({"error", "12"}), true, "/code"},
                      JsonCase{"query", Sim({"query", "5"}), true, "/reply"},
                      JsonCase{"send", Sim({"send", "5", "--type", "30"}), true, "/result"},
                      JsonCase{"info_nobody", Sim({"info", "9"}), false, "/errors/0/code"},
                      JsonCase{"map_port_lost_said_ok", {"--port", "sim", "--sim-config", "@unplug.json", "map"}, false,
                               "/errors/0/text"},
                      JsonCase{"program_refused",
                               Sim({"program", "S01A2B3", "5", "PROG", "--product", "6", "--min-version", "2.0"}),
                               false, "/programError"}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return info.param.name; });

TEST_F(ZevactlTest, MapJsonListsTheDemoDevices) {
  const RunResult r = RunZevactl(Sim({"--json", "map"}));
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json doc = nlohmann::json::parse(r.out);
  ASSERT_EQ(doc["devices"].size(), 3u);
  EXPECT_EQ(doc["devices"][0]["address"], 5);
  EXPECT_EQ(doc["devices"][0]["serial"], "S01A2B3");
  EXPECT_EQ(doc["devices"][0]["product"], 5);
  EXPECT_EQ(doc["devices"][0]["version"], "2.7");
  EXPECT_EQ(doc["devices"][1]["version"], "0.9");
}

TEST_F(ZevactlTest, InterruptStopsTheMap) {
  // Default packet timeout: the whole map would take about 20 s.
  const RunResult r = RunZevactl({"--port", "sim", "--json", "map"}, 1500);
  EXPECT_EQ(r.status, 1) << r.err;
  const nlohmann::json doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["aborted"], true);
}

TEST_F(ZevactlTest, MonitorPrintsFramesSentUnasked) {
  const std::string config = WriteFile("bus.json", R"({
    "devices": [{"address": 5, "serial": "S01A2B3", "product": 5, "version": "2.7"}],
    "events": [{"atMs": 600, "kind": "unsolicited", "from": 5, "to": 1, "type": 1, "count": 6,
                "data": [1, 2, 3, 4, 5, 6]}]})");
  const RunResult r =
      RunZevactl({"--port", "sim", "--sim-config", config, "--json", "monitor", "--for", "1.5"});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json frame = nlohmann::json::parse(r.out.substr(0, r.out.find('\n')));
  EXPECT_EQ(frame["source"], 5);
  EXPECT_EQ(frame["destination"], 1);
  EXPECT_EQ(frame["data"], "01 02 03 04 05 06");
}

TEST_F(ZevactlTest, SettingsSaveNeedsRootAndWritesThePrefix) {
  const RunResult r = RunZevactl({"--busy-timeout", "450", "settings", "save"});
  const fs::path reg = prefix_ / "system.reg";
  if (geteuid() != 0) {
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("needs root"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(reg));
    return;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  const RunResult shown = RunZevactl({"settings", "show"});
  EXPECT_NE(shown.out.find("busy-timeout    450"), std::string::npos) << shown.out;
}

}  // namespace
