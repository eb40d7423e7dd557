#include "Platform/Win32/Logon.h"
#include "Platform/Win32/Handles.h"

namespace
{
struct Token : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::LogonToken;
    Token() : HandleObject(kKind) {}
    NetworkCredentials credentials;
};

thread_local bool tImpersonating = false;
thread_local NetworkCredentials tCredentials;

Token* AsToken(HANDLE h)
{
    return HandleAs<Token>(h);
}

// A name an SMTP server could take: no separators or control characters. An empty name is the
// process's own (anonymous) identity.
bool Usable(const std::u16string& name)
{
    for (char16_t c : name)
        if (c < 0x20 || c == u'\\' || c == u'@' || c == u':' || c == 0x7F)
            return false;
    return true;
}
} // namespace

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType, DWORD, HANDLE* token)
{
    if (token == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *token = nullptr;
    if (logonType != LOGON32_LOGON_NEW_CREDENTIALS)
    {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const std::u16string name = user ? user : u"", realm = domain ? domain : u"";
    if (!Usable(name) || (!realm.empty() && !Usable(realm)))
    {
        SetLastError(ERROR_LOGON_FAILURE);
        return FALSE;
    }
    auto* t = new Token();
    t->credentials = NetworkCredentials{name, realm, password ? password : u""};
    *token = t;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ImpersonateLoggedOnUser(HANDLE token)
{
    Token* t = AsToken(token);
    if (t == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    tCredentials = t->credentials;
    tImpersonating = true;
    return TRUE;
}

BOOL RevertToSelf()
{
    tImpersonating = false;
    tCredentials = NetworkCredentials();
    return TRUE;
}

bool ThreadNetworkCredentials(NetworkCredentials& credentials)
{
    if (!tImpersonating)
        return false;
    credentials = tCredentials;
    return true;
}

