#include "Ferrule/NotifyApp.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Pipe.h"

#include <algorithm>
#include <chrono>
#include <vector>

CNotifyApp::CNotifyApp()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_APP));
}

FERRULE_CLASS_FACTORY(NotifyApp, CNotifyApp)

const IID* const* CNotifyApp::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyApp, nullptr};
    return iids;
}

STDMETHODIMP CNotifyApp::get_Clients(UINT* value)
{
    return ValueOut(mClients, value);
}

STDMETHODIMP CNotifyApp::put_Clients(UINT value)
{
    mClients = value;
    return S_OK;
}

STDMETHODIMP CNotifyApp::NotifySerialized(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority,
                                          ULONG code, BSTR serializedResult, BSTR source, DATE timeStamp)
{
    return Notify(application, type, priority, code, serializedResult, source, timeStamp);
}

namespace
{
// How long an offer waits for a client to read its block: 10 attempts of up to 500 ms.
const int kAttempts = 10;
const DWORD kAttemptMs = 500;
const size_t kBlockBytes = 2048;
const size_t kMaxCharacters = 1023;

// Hands the block over to a connected client: true when the client read all of it (a connection that
// closes without reading, a liveness check or a client that died, was not served).
bool HandOver(HANDLE pipe, const std::vector<char>& block, bool empty)
{
    if (empty)
        return true; // nothing is written: the connection itself is the offer
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    DWORD written = 0;
    return SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
           WriteFile(pipe, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
           FlushFileBuffers(pipe);
}
} // namespace

HRESULT CNotifyApp::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    if (type == NOTIFY_TYPE_TEST && priority == NOTIFY_PRIORITY_TEST)
        return S_OK; // test notifications are not passed to the tray application
    // The block: at most 1023 characters as UTF-16LE, a NUL, zeros up to 2048 bytes.
    std::vector<char> block(kBlockBytes, '\0');
    const size_t length = std::min<size_t>(SysStringLen(description), kMaxCharacters);
    for (size_t i = 0; i < length; ++i)
    {
        block[2 * i] = static_cast<char>(description[i] & 0xFF);
        block[2 * i + 1] = static_cast<char>(description[i] >> 8);
    }
    const String pipeName = StringRepository::GetString(IDS_APP_PIPE_PATH);
    // One instance per client, offered in turn; each serves one client that reads its block, then
    // disconnects. Nobody listening costs each instance its attempts.
    for (int32_t i = 0; i < static_cast<int32_t>(mClients); ++i)
    {
        HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_NOWAIT, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 1,
                                       nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            continue; // this instance cannot be offered
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAttempts * kAttemptMs);
        bool served = false;
        while (!served && std::chrono::steady_clock::now() < deadline)
        {
            ConnectNamedPipe(pipe, nullptr);
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED)
            {
                served = HandOver(pipe, block, length == 0);
                DisconnectNamedPipe(pipe);
            }
            else if (error == ERROR_PIPE_LISTENING)
            {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                       std::chrono::steady_clock::now());
                WaitForPipeClient(pipe, static_cast<DWORD>(std::clamp<long long>(left.count(), 0, kAttemptMs)));
            }
            else
                break;
        }
        CloseHandle(pipe);
    }
    return S_OK;
}
