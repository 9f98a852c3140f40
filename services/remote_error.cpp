#include "services/remote_error.h"

#include <cstdio>
#include <cstring>

#include "core/int16.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/station_request.h"
#include "transact/request_table.h"

namespace zeva {
namespace {

using namespace services;

constexpr uint8_t kRemoteErrorRequest[6] = {0, 0, 0, 0, 0, 5};

struct RemoteErrorEntry {
  uint8_t code;
  const char* description;
};

// Searched from the top; codes 3 and 22 share a description.
constexpr RemoteErrorEntry kRemoteErrorTable[] = {
    {0, "No errors"},
    {4, "Unrecognized Statement"},
    {3, "Subscript out of range"},
    {2, "Math stack underflow"},
    {7, "Out of Memory: stack overflowed"},
    {1, "Math stack overflow"},
    {8, "Reprogram error"},
    {5, "Out of memory"},
    {6, "Out of function stack: too nested function calls"},
    {240, "STOPPED"},
    {20, "Division by zero"},
    {21, "RPC failed"},
    {22, "Subscript out of range"},
    {9, "Flash programming error: bad address"},
    {13, "Flash failure! Flash memory can't be written"},
    {10, "Memory access violation"},
    {11, "Invalid program or not programmed"},
    {254, "Virgin device"},
    {255, "Virgin device, MISSING SERIAL CODE!"},
};
static_assert(sizeof kRemoteErrorTable / sizeof kRemoteErrorTable[0] == 19);

}  // namespace

namespace services {

const char* RemoteErrorDescription(uint8_t code) {
  for (const RemoteErrorEntry& entry : kRemoteErrorTable) {
    if (entry.code == code) return entry.description;
  }
  return nullptr;
}

void FormatRemoteErrorReport(const uint8_t record[6], char (&text)[kRemoteErrorTextSize]) {
  // The offset instruction pointer's high part counts sixteens, not 256s.
  const int offset = record[2] + 16 * record[3];
  int n = std::snprintf(text, sizeof text,
                        "program stack index:  %d\r\n"
                        "rel. instr. ptr:      %d\r\n"
                        "offset instr. ptr:    %d\r\n"
                        "stack ptr:            %d\r\n"
                        "error code:           %d\r\n",
                        record[0], record[1], offset, record[4], record[5]);
  const char* description = RemoteErrorDescription(record[5]);
  if (description != nullptr && n > 0 && static_cast<size_t>(n) < sizeof text) {
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "\r\n%s", description);
  }
}

}  // namespace services

int32_t GetRemoteError(services::ServiceState& ctx, int32_t address) {
  if (IsOpen(ctx) == 0) return 0;
  StationRequest request;
  request.kind = RQ_REMOTE_ERROR;
  request.address = address;
  request.message = kRemoteErrorRequest;
  link::FrameHeader header;
  uint8_t record[6];
  if (!AskStation(ctx, request, &header, record)) return 0;
  char text[kRemoteErrorTextSize];
  FormatRemoteErrorReport(record, text);
  Notify(ctx, &ClientCallbacks::onRemoteError, address, static_cast<int32_t>(record[5]),
         static_cast<const char*>(text));
  return 1;
}

}  // namespace zeva
