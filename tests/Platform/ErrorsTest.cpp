#include "Platform/Com/OleAuto.h"
#include "Platform/Win32/Errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

namespace
{
std::u16string SystemText(DWORD id, DWORD language = 0)
{
    WCHAR buffer[512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id,
                                   language, buffer, 512, nullptr);
    return std::u16string(buffer, n);
}
} // namespace

TEST(FormatMessage, SystemTexts)
{
    EXPECT_EQ(SystemText(5), u"Access is denied.\r\n");
    EXPECT_EQ(SystemText(0x80070005), SystemText(5));
    EXPECT_EQ(SystemText(0x8007000E), SystemText(ERROR_OUTOFMEMORY));
    EXPECT_EQ(SystemText(0x80070057), u"The parameter is incorrect.\r\n");
    EXPECT_EQ(SystemText(0x80004005), u"Unspecified error\r\n");
    EXPECT_EQ(SystemText(0x800401F3), u"Invalid class string\r\n");
    EXPECT_EQ(SystemText(0), u"The operation completed successfully.\r\n");
    EXPECT_EQ(SystemText(32, 1033), SystemText(32, 0x400));
    // Every id the module is known to meet has a text ending in CR LF.
    for (DWORD id : {0u, 2u, 3u, 5u, 8u, 14u, 32u, 80u, 87u, 112u, 183u, 232u, 535u, 536u, 1326u, 0x80004003u,
                     0x80004001u, 0x80004002u, 0x8000FFFFu, 0x80020005u, 0x80020009u, 0x8002000Au,
                     0x80040110u, 0x80040154u})
    {
        const std::u16string text = SystemText(id);
        ASSERT_GT(text.size(), 2u) << std::hex << id;
        EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << std::hex << id;
    }
}

TEST(FormatMessage, Failures)
{
    WCHAR buffer[8];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345, 0, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80040200, 0, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 1031, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(FormatMessage, AllocatedBuffer)
{
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, 0x80070020, LOCALE_USER_DEFAULT, reinterpret_cast<LPWSTR>(&text),
                                   0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text, n), SystemText(32));
    EXPECT_EQ(text[n], 0);
    EXPECT_EQ(LocalFree(text), nullptr);
}

TEST(LastError, PerThreadAndErrnoTable)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1;
    std::thread([&] { seen = GetLastError(); }).join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    const std::pair<int, DWORD> table[] = {{ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EEXIST, 80},
                                           {ENOSPC, 112}, {EFBIG, 112}, {EPIPE, 232}, {ENOMEM, 8},
                                           {EINVAL, 87}, {12345, ERROR_GEN_FAILURE}};
    for (auto [err, win32] : table)
        EXPECT_EQ(Win32ErrorFromErrno(err), win32) << err;
    errno = ENOSPC;
    EXPECT_EQ(SetLastErrorFromErrno(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
}

TEST(Hresult, FromWin32AndMacros)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(5), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(0x12345), static_cast<HRESULT>(0x80072345));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_POINTER));
    EXPECT_EQ(HRESULT_FACILITY(DISP_E_TYPEMISMATCH), FACILITY_DISPATCH);
}

namespace
{
std::u16string DescriptionOf(IErrorInfo* info)
{
    BSTR d = nullptr;
    info->GetDescription(&d);
    std::u16string s(d ? d : u"");
    SysFreeString(d);
    return s;
}
} // namespace

TEST(ErrorInfo, PerThreadAndHandedOverOnce)
{
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(u"Unable to write to the log file."));
    create->SetSource(const_cast<LPOLESTR>(u"Quellon.Notify.1"));
    create->SetGUID(IID_IDispatch);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    create->Release();
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    info->Release();

    // Another thread sees nothing and its own setting does not reach this one.
    HRESULT other = S_OK;
    std::thread([&] {
        IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
        other = GetErrorInfo(0, &none);
        ICreateErrorInfo* c = nullptr;
        CreateErrorInfo(&c);
        IErrorInfo* e = nullptr;
        c->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&e));
        SetErrorInfo(0, e); // left installed: released when the thread ends
        e->Release();
        c->Release();
    }).join();
    EXPECT_EQ(other, S_FALSE);

    IErrorInfo* got = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(DescriptionOf(got), u"Unable to write to the log file.");
    GUID g;
    got->GetGUID(&g);
    EXPECT_EQ(g, IID_IDispatch);
    BSTR source = nullptr;
    got->GetSource(&source);
    EXPECT_EQ(std::u16string(source), u"Quellon.Notify.1");
    SysFreeString(source);
    got->Release();

    IErrorInfo* again = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE); // cleared by the first GetErrorInfo
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
}
