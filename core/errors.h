// The driver's errors: the codes a client's OnDriverError receives, the
// table that gives each code its text, and the texts and caption of the
// driver's message boxes. How a failure reaches the user (a box, or an event
// for the client) is the error policy's business, in runtime/bridge.h.
#pragma once

#include <cstdint>

namespace zeva {

inline constexpr const char* kDriverCaption = "JV ZEVA COM driver";

// Driver error codes, 0..13; each is a row of the driver error table.
inline constexpr int32_t kErrNone = 0;
inline constexpr int32_t kErrWriteTimeout = 1;
inline constexpr int32_t kErrSendFailed = 2;
inline constexpr int32_t kErrChannelBusy = 3;
inline constexpr int32_t kErrPermanentFailure = 4;
inline constexpr int32_t kErrRestartFailed = 5;
inline constexpr int32_t kErrCannotOpen = 6;
inline constexpr int32_t kErrNoResponse = 7;
inline constexpr int32_t kErrSerialMismatch = 8;
inline constexpr int32_t kErrWrongProduct = 9;
inline constexpr int32_t kErrVersionTooLow = 10;
inline constexpr int32_t kErrEventBufferFull = 11;
inline constexpr int32_t kErrTooManyRequests = 12;
// A frame answered a request that left the request table before the frame
// was handled.
inline constexpr int32_t kErrRequestVanished = 13;

// The texts the boxes show for those codes. Most are the table's own; the
// busy box says "still busy" because the service has already retried, while
// the event carries the table's "is busy".
inline constexpr const char* kTextSendFailed = "Cannot send data over the network";
inline constexpr const char* kTextChannelBusy = "Cannot send data over the network, channel still busy";
inline constexpr const char* kTextPermanentFailure = "Cannot send data over the network, permanent failure";
inline constexpr const char* kTextRestartFailed = "Cannot restart devices";
inline constexpr const char* kTextCannotOpen = "Can't open device communication channel";
inline constexpr const char* kTextNoResponse = "The device does not respond, address ID might not be set";
inline constexpr const char* kTextSerialMismatch =
    "Device not found (serial mismatch), please check out serial code; an other device has the same "
    "address ID.";
inline constexpr const char* kTextWrongProduct = "Destination device is not valid for this program!";
inline constexpr const char* kTextVersionTooLow = "Destination device cannot support this program!";
inline constexpr const char* kTextTooManyRequests = "Too many requests, requested operation aborted";
// The write-timeout box gives the number of bytes that did go out.
inline constexpr char kFormatWriteTimeout[] = "\nProbable Write Timeout: Total of %ld bytes sent";

// Boxes with no code: a bad argument, and memory refused while the library
// starts (before a client could have switched boxes off).
inline constexpr const char* kTextSetOutRange = "Index out of range in SetOut";
inline constexpr const char* kTextNoMemory = "Not enough memory";
inline constexpr const char* kTextNoMemoryForPort = "Not enough memory, cannot create gComEvt memory object";
inline constexpr const char* kTextNoMemoryForInput =
    "Out of memory\nOperating system refused the required new memory object 'gDS in GetComEvent'";
inline constexpr const char* kTextBadAddressCall =
    "Bad call\nRemote peer address cannot be zero nor address of this station\nSerial must be set.";
inline constexpr const char* kTextBadProgramCall = "Bad call\nProgram bytes must be given, at most 65535 of them.";

// The settings store's boxes have a caption of their own.
inline constexpr const char* kRegistryCaption = "ZEVA232 DLL Registry functions";
inline constexpr const char* kTextSaveNeedsAdmin = "Settings write blocked: Admin privileges required.";

// Row index of `code` in the driver error table, 0 when absent; and its
// text, "no error" for a code the table does not have.
int32_t LookupDriverError(int32_t code);
const char* DriverErrorText(int32_t code);

}  // namespace zeva
