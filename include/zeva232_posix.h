/*
 * zeva232_posix.h - the small window system that zeva232 clients use on POSIX.
 *
 * On Windows the driver subclasses the client's window and posts its events
 * through the system's message queues. On POSIX libzeva232 brings its own
 * minimal equivalent, under the familiar names, so that a client is written
 * the same way on both: create a message window, pass it to OpenCOM, and
 * serve the thread's queue with GetMessageA/DispatchMessageA.
 *
 * Model
 *  - Every thread has its own message queue, created on first use.
 *  - A window belongs to the thread that created it; messages posted to it
 *    (from any thread) land in that thread's queue.
 *  - Handles are looked up in a table: a stale or forged handle is refused
 *    (FALSE / 0), never dereferenced.
 *  - Message boxes never block: they go to a hook. The default hook writes
 *    "caption: text" to standard error and answers IDOK.
 *
 * Thread safety: PostMessageA, PostQuitMessage and RegisterWindowMessageA may
 * be called from any thread. The other functions act on the calling thread's
 * queue or on windows; call them from the thread that owns the window.
 */
#ifndef ZEVA232_POSIX_H
#define ZEVA232_POSIX_H

#include <stdint.h>

#include "zeva232.h" /* ZEVA_API, ZEVA_CALL */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zeva_window_* HWND; /* opaque; NULL is "none" */
typedef intptr_t LRESULT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LONG_PTR;
typedef LRESULT (*WNDPROC)(HWND, unsigned msg, WPARAM, LPARAM);
typedef struct {
  HWND hwnd;
  unsigned message;
  WPARAM wParam;
  LPARAM lParam;
  uint32_t time;
} MSG;

#define WM_DESTROY 0x0002
#define WM_QUIT 0x0012
#define PM_NOREMOVE 0
#define PM_REMOVE 1
#define GWLP_WNDPROC (-4)
#define MB_ICONERROR 0x10
#define MB_ICONINFORMATION 0x40
#define IDOK 1

/* A window of the calling thread with the given procedure; NULL when proc is NULL. */
ZEVA_API HWND CreateMessageWindow(WNDPROC proc);
/* Sends WM_DESTROY through the window's procedure, then invalidates the handle
 * and drops the messages still queued for it. Only the owning thread may
 * destroy a window. FALSE for a stale handle or another thread's window. */
ZEVA_API int DestroyWindow(HWND hwnd);
/* Same name, same id, for the life of the process; ids from 0xC000. 0 for NULL or "". */
ZEVA_API unsigned RegisterWindowMessageA(const char* name);
/* Any thread. FALSE for a stale handle. A NULL hwnd posts a thread message to
 * the calling thread's queue. */
ZEVA_API int PostMessageA(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);
/* Blocks until a message within the filter arrives; 0 on WM_QUIT, -1 on a bad
 * argument, otherwise nonzero. hwnd NULL: any message of the thread. A filter of
 * 0, 0 takes every message number. */
ZEVA_API int GetMessageA(MSG* msg, HWND hwnd, unsigned filterMin, unsigned filterMax);
/* Non-blocking; nonzero when a message was there (removed with PM_REMOVE). */
ZEVA_API int PeekMessageA(MSG* msg, HWND hwnd, unsigned filterMin, unsigned filterMax, unsigned remove);
/* Calls the procedure of msg->hwnd; 0 for a thread message or a stale handle. */
ZEVA_API LRESULT DispatchMessageA(const MSG* msg);
/* Posts WM_QUIT (wParam = exitCode) to the calling thread's queue. */
ZEVA_API void PostQuitMessage(int exitCode);
/* The default procedure: 0 for every message. */
ZEVA_API LRESULT DefWindowProcA(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);
/* Calls proc (0 when proc is NULL). */
ZEVA_API LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);
/* GWLP_WNDPROC: installs value as the procedure and returns the previous one;
 * 0 for another index, a NULL procedure or a stale handle (nothing changes
 * then: every window stays dispatchable). */
ZEVA_API LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);
ZEVA_API LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
/* Hands the box to the message-box hook and returns its answer. */
ZEVA_API int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned type);

typedef int (*ZEVA_MESSAGEBOX_HOOK)(const char* text, const char* caption, unsigned type);
/* Returns the previous hook; NULL restores the default. */
ZEVA_API ZEVA_MESSAGEBOX_HOOK SetMessageBoxHook(ZEVA_MESSAGEBOX_HOOK hook);

#ifdef __cplusplus
}
#endif

#endif /* ZEVA232_POSIX_H */
