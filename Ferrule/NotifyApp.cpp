#include "Ferrule/NotifyApp.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Pipe.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>

CNotifyApp::CNotifyApp()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_APP));
}

PersistTable CNotifyApp::PersistRows()
{
    return FilterPersistTable();
}

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
// How a notification waits for each client: 10 attempts of up to 500 ms.
const int kAttempts = 10;
const DWORD kAttemptMs = 500;
const size_t kBlockBytes = 2048;
const size_t kMaxCharacters = 1023;

// The writers still running. Notify never waits for them, but a process that ends gives them up to
// kExitWait to hand their blocks over (a short-lived program would otherwise end before its client
// has read).
const std::chrono::seconds kExitWait(3);
struct Writers
{
    std::mutex mutex;
    std::condition_variable done;
    int running = 0;
    ~Writers()
    {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait_for(lock, kExitWait, [this] { return running == 0; });
    }
};
Writers& RunningWriters()
{
    static Writers writers;
    return writers;
}

// One connected instance's writer: the block (shared by the notification's writers, freed by the last),
// written once, read by the client, then the instance is closed. The caller never waits for it.
void StartWriter(HANDLE pipe, std::shared_ptr<const std::vector<char>> block, bool empty)
{
    Writers& writers = RunningWriters();
    {
        std::lock_guard<std::mutex> lock(writers.mutex);
        ++writers.running;
    }
    std::thread([pipe, block, empty, &writers] {
        if (!empty)
        {
            DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
            DWORD written = 0;
            if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
                WriteFile(pipe, block->data(), static_cast<DWORD>(block->size()), &written, nullptr))
                FlushFileBuffers(pipe);
        }
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
        std::lock_guard<std::mutex> lock(writers.mutex);
        --writers.running;
        writers.done.notify_all();
    }).detach();
}
} // namespace

HRESULT CNotifyApp::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    if (type == NOTIFY_TYPE_TEST && priority == NOTIFY_PRIORITY_TEST)
        return S_OK; // test notifications are not passed to the tray application
    // The block: at most 1023 characters as UTF-16LE, a NUL, zeros up to 2048 bytes.
    auto block = std::make_shared<std::vector<char>>(kBlockBytes, '\0');
    const size_t length = std::min<size_t>(SysStringLen(description), kMaxCharacters);
    for (size_t i = 0; i < length; ++i)
    {
        (*block)[2 * i] = static_cast<char>(description[i] & 0xFF);
        (*block)[2 * i + 1] = static_cast<char>(description[i] >> 8);
    }
    const String pipeName = StringRepository::GetString(IDS_APP_PIPE_PATH);
    for (int32_t i = 0; i < static_cast<int32_t>(mClients); ++i)
    {
        HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_NOWAIT, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 1,
                                       nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            continue; // this instance cannot be offered
        bool handedOver = false;
        for (int attempt = 0; attempt < kAttempts && !handedOver; ++attempt)
        {
            const BOOL reset = ConnectNamedPipe(pipe, nullptr);
            const DWORD error = reset ? ERROR_SUCCESS : GetLastError();
            if (reset || error == ERROR_NO_DATA)
            {
                DisconnectNamedPipe(pipe);
                WaitForPipeClient(pipe, kAttemptMs);
            }
            else if (error == ERROR_PIPE_LISTENING)
                WaitForPipeClient(pipe, kAttemptMs); // returns as soon as a client comes
            else if (error == ERROR_PIPE_CONNECTED)
            {
                StartWriter(pipe, block, length == 0);
                handedOver = true;
            }
            else
                break;
        }
        if (!handedOver)
            CloseHandle(pipe);
    }
    return S_OK;
}
