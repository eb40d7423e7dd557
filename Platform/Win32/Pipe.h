// Named pipes by their Windows names. "\\.\PIPE\NAME" is the folder NAME in the pipe folder:
// FERRULE_PIPE_DIR when set; otherwise /run/ferrule for root (made 0755, as a Windows pipe's default
// security lets any local user connect), else $XDG_RUNTIME_DIR, else /tmp/ferrule-<uid> (made 0700 and
// checked to belong to the user). NAME is made 0755 and must belong to the user: anything else at that
// place is left alone and the instance refused (ERROR_ACCESS_DENIED).
//
// Every instance is a Unix-domain stream socket of its own in NAME (mode 0666), so instances of one name
// coexist within a process and across processes, as Windows pipe instances do. Its file name is
// "<nanoseconds since 1970, 20 digits>-<process id>-<count>": names sort in the order the instances
// were made. It is bound and listening under a hidden name (a leading ".") before it takes its name, and
// it goes with the instance's handle; the sockets of processes that died are removed by the next
// instance of their user.
//
// How a client and an instance meet: a client lists NAME (hidden names are not ready), takes the names
// in order, connects to each one once, and reads. A non-blocking ConnectNamedPipe accepts a waiting
// client (ERROR_PIPE_CONNECTED) or answers ERROR_PIPE_LISTENING; WriteFile writes to the connected
// client; FlushFileBuffers waits (5 s at most) until the client has read everything, and fails with
// ERROR_NO_DATA when the client went away without reading it all (a liveness check that connects and
// closes), so the server knows whether it served anyone; DisconnectNamedPipe closes the connection.
#pragma once

#include "Platform/Win32/Errors.h"

#include <string>

#define PIPE_ACCESS_DUPLEX 0x00000003
#define FILE_FLAG_OVERLAPPED 0x40000000
#define PIPE_TYPE_MESSAGE 0x00000004
#define PIPE_READMODE_BYTE 0x00000000
#define PIPE_WAIT 0x00000000
#define PIPE_NOWAIT 0x00000001
#define PIPE_UNLIMITED_INSTANCES 255

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
                        DWORD inBufferSize, DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES security);
BOOL ConnectNamedPipe(HANDLE pipe, void* overlapped);
BOOL DisconnectNamedPipe(HANDLE pipe);
BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollection, LPDWORD collectTimeout);
// Not a Windows operation: waits up to ms milliseconds for a client to come to the pipe's name (a poll
// on the listening socket), so a waiting server serves a client as soon as it connects. TRUE when one
// is waiting.
BOOL WaitForPipeClient(HANDLE pipe, DWORD ms);

// The folder of the pipe sockets for this process (made when missing); "" when it cannot be used.
std::string PipeFolder();

// For WriteFile and FlushFileBuffers: the pipe operations, answering false when the handle is not a
// pipe (CloseHandle closes a pipe as it closes every handle kind).
bool PipeWrite(HANDLE pipe, const void* data, DWORD bytes, DWORD* written, BOOL& result);
bool PipeFlush(HANDLE pipe, BOOL& result);
