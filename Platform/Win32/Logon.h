// Network logons by their Windows names. Linux has no local logon a process can switch to: a
// LOGON32_LOGON_NEW_CREDENTIALS logon only records the account (name, domain, password) in a token,
// ImpersonateLoggedOnUser makes those the calling thread's credentials for outgoing network
// authentication (the SMTP sender uses them for AUTH NTLM), and RevertToSelf clears them. The
// password cannot be checked here: LogonUserW fails only for an unusable account name (one with a
// control character, "\\", "@" or ":": ERROR_LOGON_FAILURE) or another logon type
// (ERROR_NOT_SUPPORTED); an empty name stands for the process itself (no network login). CloseHandle
// closes a token.
#pragma once

#include "Platform/Win32/Errors.h"

#include <string>

#define LOGON32_LOGON_INTERACTIVE 2
#define LOGON32_LOGON_NETWORK 3
#define LOGON32_LOGON_NEW_CREDENTIALS 9
#define LOGON32_PROVIDER_DEFAULT 0
#define LOGON32_PROVIDER_WINNT50 3

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType, DWORD provider, HANDLE* token);
BOOL ImpersonateLoggedOnUser(HANDLE token);
BOOL RevertToSelf();

// The calling thread's network credentials while it impersonates; false when it does not.
struct NetworkCredentials
{
    std::u16string user;
    std::u16string domain;
    std::u16string password;
};
bool ThreadNetworkCredentials(NetworkCredentials& credentials);

