// The terminal zevasim serves: a new pseudo-terminal, or a terminal given by
// path (a real serial port wired to the host, for instance).
#pragma once

#include <cstdint>
#include <string>

namespace zeva::zevasim {

struct HostPort {
  int fd = -1;      // zevasim reads the host's bytes here and writes the line's
  int keeper = -1;  // our own descriptor of the pseudo-terminal's slave side
  std::string path; // what the client opens

  HostPort() = default;
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  ~HostPort() { Close(); }
  // Closing the master side is a hang-up for the client.
  void Close();
};

bool OpenPseudoTerminal(int32_t bps, uint8_t byteSize, HostPort* port, std::string* error);
bool OpenTerminal(const std::string& path, int32_t bps, uint8_t byteSize, HostPort* port, std::string* error);

// A symbolic link `link` to `target`. The folder must exist (nothing else is
// created), and whatever is at `link` is the user's: a file, or a link to
// something that exists, is refused. A dangling link (a terminal that went
// away) is replaced and its old target returned in `replaced`, to be put
// back at exit (without `replaced`, a dangling link is refused too).
bool CreateLink(const std::string& link, const std::string& target, std::string* error,
                std::string* replaced = nullptr);
// Removes `link` when it still points to `target`, and puts back the link
// it replaced.
void RemoveLink(const std::string& link, const std::string& target, const std::string& replaced = "");

}  // namespace zeva::zevasim
