/*
 * zeva232.h - host-side driver for the ZEVA field bus.
 *
 * ZEVA devices sit on an RS-485 line reached through an adapter on a serial
 * (COM) port. This library configures that link, opens the port, exchanges
 * data with device addresses, identifies devices, maps the bus, assigns bus
 * addresses by serial code, downloads programs and stops, reboots, resets and
 * queries devices.
 *
 * Conventions
 *  - Every function is exported under its plain name with the ZEVA_CALL
 *    calling convention (__stdcall on 32-bit Windows, the default elsewhere).
 *  - Integer arguments are int32_t. Where a value is described as 16-bit,
 *    only the low 16 bits of the argument are used, as a signed number
 *    (65537 arrives as 1, 65535 as -1), and a 16-bit result is meaningful in
 *    the low 16 bits of the int32_t returned (this library returns it
 *    sign-extended).
 *  - Results, not exceptions: most operations return 1 for success and 0 for
 *    failure. Setters never fail: they clamp or ignore bad values.
 *  - Text is 8-bit and zero-terminated.
 *
 * Error model
 *  Failures the user should see go through one policy: a message box with
 *  the caption "JV ZEVA COM driver", or, after SetNoErrMsgBox(1), an event
 *  that reaches the client's OnDriverError callback. On POSIX a message box
 *  is a call of the hook installed with SetMessageBoxHook (zeva232_posix.h);
 *  the default hook writes "caption: text" to standard error.
 *
 * Threads
 *  Call every function from the thread that owns the client window passed to
 *  OpenCOM (the "client thread"). Blocking operations serve that thread's
 *  message queue while they wait, so callbacks run on the client thread,
 *  possibly nested inside a waiting call. The library's own event thread only
 *  posts messages to the client window.
 *
 * Settings persistence
 *  The ten link settings load at library start from the machine registry key
 *  "Software\Velmora\Orlindo" (on POSIX: $ZEVA_PREFIX/system.reg, default
 *  prefix /etc/zeva232) and are written back only by SaveSettings.
 */
#ifndef ZEVA232_H
#define ZEVA232_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZEVA232_BUILDING)
#    define ZEVA_API __declspec(dllexport)
#  elif defined(ZEVA232_STATIC)
#    define ZEVA_API
#  else
#    define ZEVA_API __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define ZEVA_CALL __stdcall
#  else
#    define ZEVA_CALL
#  endif
#else
#  define ZEVA_API __attribute__((visibility("default")))
#  define ZEVA_CALL
#endif

/* No export lets an exception through; C++ callers see that in the type. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1900))
#  define ZEVA_NOEXCEPT noexcept
#elif defined(__cplusplus)
#  define ZEVA_NOEXCEPT throw()
#else
#  define ZEVA_NOEXCEPT
#endif

/* Client callbacks use the same calling convention as the exports. */
#define ZEVA_CALLBACK ZEVA_CALL

/* The client window handle: the system's own on Windows; on POSIX a handle
 * of the library's small window system (zeva232_posix.h declares it too). */
#if defined(_WIN32)
/* The system header as the includer asks for it: this header defines none
 * of its switches (WIN32_LEAN_AND_MEAN, NOMINMAX). Defining them here, even
 * only around this include, would decide for the includer, since a later
 * <windows.h> of its own adds nothing. A C++ client that uses std::min and
 * std::max defines NOMINMAX before its first <windows.h>, as for any header
 * that includes it. */
#  include <windows.h>
#else
typedef struct zeva_window_* HWND;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Link settings (persisted by SaveSettings). Take effect at the next OpenCOM
 * (Port, bps, FrameSize, RX/TX buffer) or at their next use (the others).
 * ------------------------------------------------------------------------- */

/* COM port number. port (16-bit) is stored clamped to 1..128. Result (16-bit):
 * the argument raised to 1 when below 1; an argument above 128 is returned
 * unchanged while 128 is stored. */
ZEVA_API int32_t ZEVA_CALL SetCOMPort(int32_t port) ZEVA_NOEXCEPT;
/* 16-bit: the stored port number. */
ZEVA_API int32_t ZEVA_CALL GetCOMPort(void) ZEVA_NOEXCEPT;

/* Bit rate, stored unchecked; returns bps. A rate of 0 or less makes OpenCOM fail. */
ZEVA_API int32_t ZEVA_CALL SetBps(int32_t bps) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetBps(void) ZEVA_NOEXCEPT;

/* Data bits per character, 16-bit, stored clamped to 7..8. Result: the argument
 * raised to 7 when below 7; above 8 returned unchanged. */
ZEVA_API int32_t ZEVA_CALL SetFrameSize(int32_t size) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetFrameSize(void) ZEVA_NOEXCEPT;

/* Serial input / output queue sizes, 16-bit, stored clamped to 1..2048. Result:
 * the argument raised to 1 when below 1; above 2048 returned unchanged. */
ZEVA_API int32_t ZEVA_CALL SetRXbuffer(int32_t size) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetRXbuffer(void) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL SetTXbuffer(int32_t size) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetTXbuffer(void) ZEVA_NOEXCEPT;

/* This station's bus address, 16-bit, stored clamped to 0..255 (the low byte
 * is the source of every frame sent). Result: the argument raised to 0 when
 * negative; above 255 returned unchanged. */
ZEVA_API int32_t ZEVA_CALL SetLocalAddress(int32_t address) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getLocalAddr(void) ZEVA_NOEXCEPT;

/* Adapter kind: 0 = plain RS-485 adapter (the driver acknowledges and checks
 * echoes); other values = the adapter handles acknowledgements. 0 also turns
 * the echo check on, 1 turns it off, other values leave it. Returns id. */
ZEVA_API int32_t ZEVA_CALL SetAdapterID(int32_t id) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getAdapterID(void) ZEVA_NOEXCEPT;

/* Checksum variant, 1 or 2; other values are ignored. Returns the argument. */
ZEVA_API int32_t ZEVA_CALL SetProtocol(int32_t protocol) ZEVA_NOEXCEPT;

/* Base of the driver's waits in ms, 16-bit; 0 or less stores 81. Returns the
 * stored value. */
ZEVA_API int32_t ZEVA_CALL SetPacketTimeout(int32_t ms) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getPacketTimeout(void) ZEVA_NOEXCEPT;

/* Pause after a busy channel in ms, 16-bit; 0 or less stores 300. Returns the
 * argument unchanged (16-bit). */
ZEVA_API int32_t ZEVA_CALL SetBusyTimeout(int32_t ms) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getBusyTimeout(void) ZEVA_NOEXCEPT;

/* Writes the ten settings to the registry. Needs administrator rights
 * (POSIX: effective uid 0); otherwise each value shows "Settings write
 * blocked: Admin privileges required." and nothing is written. */
ZEVA_API void ZEVA_CALL SaveSettings(void) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Run-time switches (not persisted).
 * ------------------------------------------------------------------------- */

/* Deliver frames addressed to other stations too. flag 16-bit; stores and
 * returns 0 or 1. */
ZEVA_API int32_t ZEVA_CALL SetSpy(int32_t flag) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getSpy(void) ZEVA_NOEXCEPT;
/* Answer type-0 frames automatically (on after load). 16-bit, sign-extended;
 * returns the stored value. */
ZEVA_API int32_t ZEVA_CALL SetAutoEcho(int32_t flag) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getAutoEcho(void) ZEVA_NOEXCEPT;
/* Do not acknowledge received frames. 16-bit, sign-extended. */
ZEVA_API int32_t ZEVA_CALL SetNoAck(int32_t flag) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL getNoAck(void) ZEVA_NOEXCEPT;
/* Check the echo of every byte written. 16-bit; stores and returns 0 or 1. */
ZEVA_API int32_t ZEVA_CALL SetEchoCheck(int32_t flag) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetEchoCheck(void) ZEVA_NOEXCEPT;
/* Nonzero: report failures to OnDriverError instead of message boxes.
 * 16-bit, sign-extended; returns the stored value. */
ZEVA_API int32_t ZEVA_CALL SetNoErrMsgBox(int32_t flag) ZEVA_NOEXCEPT;
/* Nonzero: no client callback is called. 16-bit, sign-extended. */
ZEVA_API int32_t ZEVA_CALL FreezeEvents(int32_t flag) ZEVA_NOEXCEPT;
/* Type byte (sixth byte) of the output buffer; stored only for 10..240.
 * Returns the argument (16-bit). */
ZEVA_API int32_t ZEVA_CALL SetType(int32_t type) ZEVA_NOEXCEPT;
/* One-shot response code awaited by the next SendData in mode 2 (low byte).
 * Returns code. */
ZEVA_API int32_t ZEVA_CALL SetResponseMsg(int32_t code) ZEVA_NOEXCEPT;

/* Outcome of the last Program / ProgramDirect: 0 none, 1 bad call, 2 port did
 * not open, 3 communication failure, 4 no answer to identification, 5 serial
 * mismatch, 6 product mismatch, 7 version too low, 8 channel busy. */
ZEVA_API int32_t ZEVA_CALL GetLastProgramError(void) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Utilities.
 * ------------------------------------------------------------------------- */

/* Copies the driver's file version ("1. 2. 0. 19") into buffer when its
 * length n satisfies n < length; returns n either way, so a caller can retry
 * with length n + 1. NULL buffer: nothing is copied. */
ZEVA_API int32_t ZEVA_CALL GetZEVADriverVersion(char* buffer, int32_t length) ZEVA_NOEXCEPT;

/* Copies source (with its terminator) into destination of size bytes.
 * Returns 0 when either pointer is NULL; strlen(source)+1 when size is 0
 * (nothing copied); 0 when it does not fit (nothing copied); else strlen. */
ZEVA_API int32_t ZEVA_CALL copystring(const char* source, char* destination, int32_t size) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Output buffer: the six-byte message that Send and Query send.
 * Bytes 0-1 word 0, bytes 2-3 word 1 (little-endian), byte 4 reserved,
 * byte 5 the type byte.
 * ------------------------------------------------------------------------- */

/* Zeroes the six bytes; returns 0. */
ZEVA_API int32_t ZEVA_CALL ClearBuffer(void) ZEVA_NOEXCEPT;
/* Stores the low 16 bits of value as word index (0 or 1); other indexes are
 * ignored. value and index are 16-bit. */
ZEVA_API void ZEVA_CALL SetInt(int32_t value, int32_t index) ZEVA_NOEXCEPT;
/* Stores value (0..255) in byte index (0..3); anything else is ignored. */
ZEVA_API void ZEVA_CALL SetByte(int32_t value, int32_t index) ZEVA_NOEXCEPT;
/* bit (0..15, 16-bit) of word 0 := value != 0, and bit of word 1 := 1.
 * Returns the mask 1 << bit. An out-of-range bit shows "Index out of range in
 * SetOut" (always a message box) and returns the box's answer. */
ZEVA_API int32_t ZEVA_CALL SetOut(int32_t bit, int32_t value) ZEVA_NOEXCEPT;
/* Reads from a six-byte block received from a device (e.g. in OnDataReceived).
 * GetInt: 16-bit little-endian word index (0 or 1), sign-extended; any other
 * index is returned unchanged, whatever the block. GetByte: byte index
 * (0..5; other indexes are outside the contract and return 0). GetType:
 * byte 5. A NULL block gives 0 (GetInt: for the indexes 0 and 1). */
ZEVA_API int32_t ZEVA_CALL GetInt(const uint8_t* block, int32_t index) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetByte(const uint8_t* block, int32_t index) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL GetType(const uint8_t* block) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Sending data. Call from the client thread. All four block it (serving its
 * message queue, so callbacks may run meanwhile) until the bytes are out and,
 * where asked, acknowledged. Called from a callback of a received frame, Send
 * and SendData answer 2 (busy) while the receive run that delivered the frame
 * is still under way: for a broadcast, or a frame that asked for no
 * acknowledgement. A frame this station acknowledged ends that run (the
 * acknowledgement's write reads the line while it waits), and then they
 * transmit as from anywhere else.
 * Results of Send and SendData: 16 port not open, 99 bad argument (nothing
 * sent, nothing changed), 0 not delivered, 1 delivered, 2 busy (nothing sent).
 * ------------------------------------------------------------------------- */

/* Sends the output buffer as a type-1 message to address (16-bit, 0..127;
 * 0 broadcasts, unacknowledged). Byte 4 is sent as 0 and byte 5 as the low
 * byte of type. mode: 0 each frame acknowledged (up to five attempts),
 * 1 unacknowledged. The output buffer is cleared afterwards (also on 0 and 2). */
ZEVA_API int32_t ZEVA_CALL Send(int32_t address, int32_t type, int32_t mode) ZEVA_NOEXCEPT;
/* Sends length (low 16 bits, unsigned) bytes of data as a message of type
 * (low 3 bits) to address (16-bit, 0..127), in six-byte frames. mode: 0 each
 * frame acknowledged, 1 unacknowledged (only the first frame is sent),
 * 2 acknowledged with alternating frames; in mode 2 a code set by
 * SetResponseMsg makes every frame wait up to 5 s for a reply from address
 * whose sixth byte is that code (0 when it does not come). The response code
 * is reset afterwards. A NULL data with a nonzero length gives 99. */
ZEVA_API int32_t ZEVA_CALL SendData(int32_t address, int32_t mode, int32_t type, const uint8_t* data,
                                    int32_t length) ZEVA_NOEXCEPT;
/* Writes length bytes as they are, without acknowledgement. The checksum is
 * the protocol-2 one. wholeFrame (16-bit) nonzero: bytes is a complete frame
 * (start byte first, checksum slot last, length at least 4) whose checksum
 * over bytes 1..length-2 is stored in its last byte before writing;
 * 0: the checksum covers all bytes and nothing is changed. Returns 1 and
 * stores the checksum in *result (when not NULL) when the bytes were written;
 * 0 when the port is closed, a transmission is waiting for its echo, the
 * frame is too short or the write failed (*result untouched). */
ZEVA_API int32_t ZEVA_CALL sendRaw(uint8_t* bytes, int32_t length, int16_t* result, int32_t wholeFrame) ZEVA_NOEXCEPT;
/* Writes count (16-bit) bytes of the low byte of fill, for line tests, even
 * while a transmission waits. Returns 1 when the port is open (whatever the
 * write did), 0 when it is closed or count is negative. */
ZEVA_API int32_t ZEVA_CALL TestStream(int32_t fill, int32_t count) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Port.
 * ------------------------------------------------------------------------- */

/* Opens COM<Port> with the current settings and starts the event thread.
 * window: the client window to which the driver posts its events. The first
 * time (or after SetClientHWND(NULL)) the driver subclasses it: its own window
 * procedure sees the registered message "JV_ZEVA232_EVENTS" first and then
 * passes every message on to the client's procedure. Passing a window other
 * than the subclassed one gives the old window its procedure back and
 * subclasses the new one. The window is stored also when the open fails.
 * RXbuffer / TXbuffer of 0 become 1024 / 11 first.
 * Result: 1 when the port is open and the event thread runs; 0 for a NULL
 * window, when the port is already open, when the device cannot be opened
 * (a message box shows the system's text), when the line cannot be
 * configured (no message; a bit rate of 0 or less is refused this way) or
 * when the event thread cannot be started.
 * POSIX: COMn is the tty that $ZEVA_PREFIX/dosdevices/comN links to, else
 * /dev/ttyS<n-1>; it is opened exclusively, raw, even parity, one stop bit,
 * no flow control, DTR and RTS off.
 * Thread: the client thread. */
ZEVA_API int32_t ZEVA_CALL OpenCOM(HWND window) ZEVA_NOEXCEPT;

/* Stops the event thread, discards both queues and closes the port; does
 * nothing when it is closed. Returns within the time the event thread takes
 * to notice, also when the device went away. Thread: the client thread. */
ZEVA_API void ZEVA_CALL CloseCOM(void) ZEVA_NOEXCEPT;

/* 1 while the port is open, else 0. Thread: any, but the answer may be
 * outdated at once when another thread opens or closes. */
ZEVA_API int32_t ZEVA_CALL IsOpen(void) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Client notification.
 * Callbacks run synchronously on the client thread, possibly nested inside a
 * waiting call, only while FreezeEvents is 0. Values described as 16-bit
 * arrive in the low 16 bits of an int32_t (bytes zero-extended). Text and
 * buffer pointers are valid only during the call.
 * ------------------------------------------------------------------------- */

/* 1: a line error (framing, parity, overrun, break) was reported by the port. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_LINE_ERROR)(void);
/* 2: a data frame for this station (or any station in spy mode): source,
 * destination, count (the control byte's count field), type (data byte 5),
 * the six data bytes, and the event code. All but data and eventCode 16-bit. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_DATA_RECEIVED)(int32_t source, int32_t destination, int32_t count,
                                                   int32_t type, const uint8_t* data, int32_t eventCode);
/* 3: MakeMap is about to probe address (1..127, 16-bit); 0 when the map ended. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_MAP_PROGRESS)(int32_t address);
/* 4: MakeMap found a device: address, serial text " S%06X", product code,
 * firmware version low and high byte (all numbers 16-bit). */
typedef void(ZEVA_CALLBACK* ZEVA_ON_DEVICE_FOUND)(int32_t address, const char* serial, int32_t product,
                                                  int32_t versionLow, int32_t versionHigh);
/* 5: GetFirmwareInfo's answer: address, serial text "S%06X", product code,
 * product name, version low and high byte, version text "high.low". */
typedef void(ZEVA_CALLBACK* ZEVA_ON_FIRMWARE_INFO)(int32_t address, const char* serial, int32_t product,
                                                   const char* productName, int32_t versionLow,
                                                   int32_t versionHigh, const char* versionText);
/* 6: GetRemoteError's answer: address as the caller gave it (32-bit), error
 * code (16-bit), report text. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_REMOTE_ERROR)(int32_t address, int32_t errorCode, const char* report);
/* 7: progress of a download or address assignment: value (32-bit) and text. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_PROGRESS)(int32_t value, const char* text);
/* 8: Query's answer: replying address (16-bit), six reply bytes, the caller's tag. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_QUERY_REPLY)(int32_t address, const uint8_t* reply, int32_t tag);
/* 9: Program has ended. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_PROGRAM_DONE)(void);
/* 10: a failure reported while message boxes are off (SetNoErrMsgBox): code
 * (0..13) and its text; "no error" for an unknown code. */
typedef void(ZEVA_CALLBACK* ZEVA_ON_DRIVER_ERROR)(int32_t code, const char* text);

/* Installs all ten callbacks at once, in the order above, replacing the
 * previous set; NULL leaves that event without a callback. Thread: the
 * client thread. */
ZEVA_API void ZEVA_CALL SetCallbackEvents(ZEVA_ON_LINE_ERROR onLineError, ZEVA_ON_DATA_RECEIVED onDataReceived,
                                          ZEVA_ON_MAP_PROGRESS onMapProgress, ZEVA_ON_DEVICE_FOUND onDeviceFound,
                                          ZEVA_ON_FIRMWARE_INFO onFirmwareInfo, ZEVA_ON_REMOTE_ERROR onRemoteError,
                                          ZEVA_ON_PROGRESS onProgress, ZEVA_ON_QUERY_REPLY onQueryReply,
                                          ZEVA_ON_PROGRAM_DONE onProgramDone,
                                          ZEVA_ON_DRIVER_ERROR onDriverError) ZEVA_NOEXCEPT;

/* Sets the window that receives the driver's events. NULL first gives the
 * subclassed window its own procedure back, so later event messages reach
 * only the client. A window is only stored, not subclassed (OpenCOM does
 * that); while another window is subclassed, that one gets its procedure
 * back first. Thread: the client thread. */
ZEVA_API void ZEVA_CALL SetClientHWND(HWND window) ZEVA_NOEXCEPT;

/* ---------------------------------------------------------------------------
 * Device services. Every one blocks the client thread while it serves that
 * thread's message queue, so callbacks (and other exports) may run nested
 * inside it. Thread: the client thread only.
 * Addresses are 32-bit slots: the low 16 bits are compared (0 means every
 * station), the low 8 bits go on the wire.
 * Failures are reported through the error policy (message box, or
 * OnDriverError after SetNoErrMsgBox(1)) with these codes:
 *   2 the message was not delivered ("Cannot send data over the network")
 *   3 the channel stayed busy ("... channel still busy"; OnDriverError gets
 *     the table text "... channel is busy")
 *   4 a program body was not delivered   5 the restart did not go out
 *   6 the port did not open   7 the target did not answer identification
 *   8 serial mismatch   9 wrong product   10 firmware version too low
 *  12 more than ten requests pending
 * A closed port makes every service return 0 without any report (except
 * GetFirmwareInfo for the driver's own address, and the services that open
 * the port themselves: Restart, SetAddrID, Program, ProgramDirect).
 * ------------------------------------------------------------------------- */

/* Device commands: one frame, no reply. address: 16-bit, 0..127, 0 for
 * every device; any other address sends nothing and returns 0, without a
 * report. Busy channels are retried after
 * BusyTimeout ms, four transmissions at most (then error 3).
 * Reboot / Stop: never acknowledged; 1 as soon as the frame is written.
 * ClearRemoteError: acknowledged by address (error 2 when it is not), a
 *   broadcast without acknowledgement for address 0.
 * ResetComm: the short reset-communication frame (code 1), unacknowledged.
 * Result: 1 sent, 0 not. */
ZEVA_API int32_t ZEVA_CALL Reboot(int32_t address) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL ClearRemoteError(int32_t address) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL Stop(int32_t address) ZEVA_NOEXCEPT;
ZEVA_API int32_t ZEVA_CALL ResetComm(int32_t address) ZEVA_NOEXCEPT;

/* Closes and reopens the port (the latest serial settings apply), clears
 * every device's error, waits 300 ms and reboots every device, then leaves
 * the port open or closed as it was. Result 1 when both broadcasts went
 * out; 0 with error 6 (the port did not open, it stays closed) or error 5. */
ZEVA_API int32_t ZEVA_CALL Restart(void) ZEVA_NOEXCEPT;

/* Identifies the station at address (16-bit, 0..127; 0: the first station
 * that answers; any other address sends nothing and returns 0, without a
 * report).
 * OnFirmwareInfo receives the answering address, "S%06X", product code, the
 * product name (key "<code>" of section [DeviceIDs] in Orlindo.inf, POSIX:
 * $ZEVA_PREFIX/Orlindo.inf; "[product unknown]" when missing, "[special
 * build]" for codes from 200), version low, version high and "high.low".
 * The driver's own LocalAddress is answered by the driver, also with the
 * port closed: "S000000", 0, "[WIN32 ZEVA COM Driver]", 0, 0 and the
 * driver's version text. Up to four requests, each awaited 2 x
 * PacketTimeout ms; answers from other stations are ignored. Result 1 when
 * identified; 0 when not (no report when nobody answered; errors 2, 3, 12
 * when the requests could not be sent). */
ZEVA_API int32_t ZEVA_CALL GetFirmwareInfo(int32_t address) ZEVA_NOEXCEPT;

/* Probes addresses 1 to 127 in turn, unacknowledged, waiting 2 x
 * PacketTimeout ms for each answer: OnMapProgress(address) before each probe
 * (again when a busy channel makes the address be probed again; after the
 * fourth busy answer it is passed over), OnDeviceFound for each answer,
 * OnMapProgress(0) at the end. Result 1 when the map ran to its end or was
 * aborted; 0 when the port is closed or a map is already running (no
 * callback then), or on error 2 or 12. */
ZEVA_API int32_t ZEVA_CALL MakeMap(void) ZEVA_NOEXCEPT;
/* Asks a running MakeMap to stop before its next probe (call it from a
 * callback or a message handler). No effect on later maps. */
ZEVA_API void ZEVA_CALL MapAbort(void) ZEVA_NOEXCEPT;

/* Asks address (16-bit, 0..127; 0: any station; another address sends
 * nothing and returns 0, without a report) for its last run-time error and hands
 * OnRemoteError the address as given, the error code and a report: five
 * lines "label: number" (stack index, relative and offset instruction
 * pointer, stack pointer, error code) ended by CR LF, then an empty line
 * and the code's description when the code has one. Requests, retries and
 * reports as GetFirmwareInfo. Result 1 when the report was formed. */
ZEVA_API int32_t ZEVA_CALL GetRemoteError(int32_t address) ZEVA_NOEXCEPT;

/* Sends six bytes of data (NULL: the output buffer, whose byte 4 is set to
 * 0 first and stays 0) as a type-1 message to address (16-bit, 0..127; 0:
 * any station; another address sends nothing and returns 0, without a
 * report) and hands the answer
 * to OnQueryReply with the answering address and tag. quiet (16-bit)
 * nonzero: failures are posted to OnDriverError, never shown in a box.
 * Requests, retries and reports as GetFirmwareInfo. Result 1 when answered. */
ZEVA_API int32_t ZEVA_CALL Query(int32_t address, const uint8_t* data, int32_t quiet, int32_t tag) ZEVA_NOEXCEPT;

/* Gives the device whose serial code serial names ("S" and up to six hex
 * digits, e.g. "S01A2B3") the bus address (16-bit, 1..127): one
 * broadcast, sent after the port has been reopened. OnProgress(percentage,
 * "Searching device...") is called first. Result 1 when the broadcast was
 * written (the device does not confirm); 0 otherwise. An address outside
 * 1..127 or of this station, or a serial text not starting with "S", shows
 * a "Bad call" message box (always a box, whatever SetNoErrMsgBox says),
 * and nothing is sent; Program and ProgramDirect check the same. Leaves
 * NoAck at 0 and the port open or closed as it was. */
ZEVA_API int32_t ZEVA_CALL SetAddrID(const char* serial, int32_t address, int32_t percentage) ZEVA_NOEXCEPT;

/* Downloads a program: stops all devices, gives the device with serial the
 * address, identifies it (up to eleven attempts a second apart) and, for a
 * product code (16-bit) of at most 200, checks its serial, product code and
 * that its firmware version is at least minHigh.minLow (16-bit each);
 * announces length and checksum, sends the length bytes of data (at most
 * 65535; in alternating mode with a response per frame to a device whose
 * version high number is not 0, else acknowledged frames 250 ms apart),
 * restarts all devices and calls OnProgramDone. OnProgress reports each
 * stage and the share of the body sent. Result 1 when the download ran to
 * its end, also when the body itself failed (then GetLastProgramError gives
 * 3 or 8); 0 otherwise, with the reason in GetLastProgramError (1 bad call:
 * a "Bad call" box, also for NULL data with a length above 0 or a length
 * outside 0..65535).
 * Leaves the port open or closed as it was, NoAck at 0. */
ZEVA_API int32_t ZEVA_CALL Program(const char* serial, int32_t address, int32_t product, int32_t minLow,
                                   int32_t minHigh, const uint8_t* data, int32_t length) ZEVA_NOEXCEPT;

/* Downloads a program to a device that already has its address, without
 * stopping, addressing or restarting anything: identifies and checks it
 * once (product code at most 200; above 200 its low byte, when not 0,
 * selects the alternating mode), announces and sends the program.
 * OnProgress: 0 "Checking device...", 0 "Sending program to device...",
 * 0 "Programming...", the share sent, 100 "...program sent". Result 1 when
 * the body was delivered, else 0 (GetLastProgramError as for Program).
 * Leaves the port open once the program was announced. */
ZEVA_API int32_t ZEVA_CALL ProgramDirect(const char* serial, int32_t address, int32_t product, int32_t minLow,
                                         int32_t minHigh, const uint8_t* data, int32_t length) ZEVA_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZEVA232_H */
